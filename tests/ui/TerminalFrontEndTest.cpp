// The terminal front end over a controller with stand-in neighbours: what it prints as the
// bridge changes, and what each command does.
#include "ui/TerminalFrontEnd.h"

#include "bridge/ApprovalRouter.h"
#include "support/ControllerRig.h"
#include "ui/ApprovalSettings.h"
#include "ui/LineReader.h"
#include "ui/QrCode.h"

#include <QBuffer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

using namespace Qt::StringLiterals;
using namespace tarnwick;
using namespace tarnwick::testing;

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

const QString versionNote =
    u"     paired with handshake version 1, which can be replayed: pair it again to upgrade\n"_s;

// Dates read the same on every machine: US English, UTC.
class FixedLocale : public ::testing::Environment {
public:
    void SetUp() override {
        qputenv("TZ", "UTC");
        tzset();
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }
};
const auto* const fixedLocale = ::testing::AddGlobalTestEnvironment(new FixedLocale);

class TerminalFrontEndTest : public ::testing::Test {
protected:
    explicit TerminalFrontEndTest(std::map<std::string, TrustedPeer> stored = {},
                                  bool colour = false)
        : bridge({std::move(stored), true, false}) {
        buffer.open(QIODevice::ReadWrite);
        writer = std::make_unique<TerminalWriter>(buffer, colour);
        frontEnd = std::make_unique<TerminalFrontEnd>(*bridge.controller, *writer);
        frontEnd->begin();
        bridge.controller->start();
    }

    // What was printed since the last call, once the front end has caught up.
    QString printed() {
        QCoreApplication::processEvents();
        const QString text = QString::fromUtf8(buffer.data().mid(read));
        read = buffer.data().size();
        return text;
    }

    QString type(const QString& line) {
        printed();
        frontEnd->handleLine(line);
        return printed();
    }

    ControllerRig bridge;
    QBuffer buffer;
    qsizetype read = 0;
    std::unique_ptr<TerminalWriter> writer;
    std::unique_ptr<TerminalFrontEnd> frontEnd;
};

class TerminalFrontEndWithDevicesTest : public TerminalFrontEndTest {
protected:
    TerminalFrontEndWithDevicesTest()
        : TerminalFrontEndTest(ControllerRig::storedDevices({"Mia's iPad", "Ana's iPhone"})) {}
};

class TerminalFrontEndInColourTest : public TerminalFrontEndTest {
protected:
    TerminalFrontEndInColourTest() : TerminalFrontEndTest({}, true) {}
};

// Draws `lines` as a terminal would, in `text` and `background` grey unless a line sets the
// 256-colour black (16) or white (231) itself, into a PGM image at `path`. A cell is 4 pixels
// wide and 8 tall, so a half block is square; a border of background goes round.
bool writeScreen(const QStringList& lines, int text, int background, const QString& path) {
    constexpr int cellWidth = 4;
    constexpr int half = 4;
    constexpr int border = 16;
    static const QRegularExpression style(u"^\x1b\\[([0-9;]*)m"_s);
    std::vector<std::vector<std::pair<int, int>>> cells; // (upper, lower) grey of each cell
    std::size_t columns = 0;
    for (const QString& line : lines) {
        int foreground = text;
        int back = background;
        auto& row = cells.emplace_back();
        for (qsizetype at = 0; at < line.size();) {
            if (const auto match = style.match(QStringView(line).mid(at)); match.hasMatch()) {
                const QStringList codes = match.captured(1).split(u';');
                for (qsizetype index = 0; index < codes.size(); ++index) {
                    if (codes[index].isEmpty() || codes[index] == u"0") {
                        foreground = text;
                        back = background;
                    } else if ((codes[index] == u"38" || codes[index] == u"48") &&
                               index + 2 < codes.size() && codes[index + 1] == u"5") {
                        const int grey = codes[index + 2] == u"231" ? 255 : 0;
                        (codes[index] == u"38" ? foreground : back) = grey;
                        index += 2;
                    }
                }
                at += match.capturedLength();
                continue;
            }
            const char16_t c = line[at++].unicode();
            const bool upper = c == 0x2588 || c == 0x2580;
            const bool lower = c == 0x2588 || c == 0x2584;
            if (!upper && !lower && c != u' ') {
                return false;
            }
            row.emplace_back(upper ? foreground : back, lower ? foreground : back);
        }
        columns = std::max(columns, row.size());
    }
    const int width = static_cast<int>(columns) * cellWidth + 2 * border;
    const int height = static_cast<int>(cells.size()) * 2 * half + 2 * border;
    QByteArray pixels(qsizetype(width) * height, static_cast<char>(background));
    for (std::size_t y = 0; y < cells.size(); ++y) {
        for (std::size_t x = 0; x < cells[y].size(); ++x) {
            for (int dy = 0; dy < 2 * half; ++dy) {
                const int grey = dy < half ? cells[y][x].first : cells[y][x].second;
                const qsizetype row = border + static_cast<qsizetype>(y) * 2 * half + dy;
                const qsizetype column = border + static_cast<qsizetype>(x) * cellWidth;
                std::memset(pixels.data() + row * width + column, grey, cellWidth);
            }
        }
    }
    QFile file(path);
    return file.open(QIODevice::WriteOnly) &&
           file.write(u"P5\n%1 %2\n255\n"_s.arg(width).arg(height).toLatin1()) > 0 &&
           file.write(pixels) == pixels.size();
}

} // namespace

TEST_F(TerminalFrontEndTest, GreetsWithTheStatusAndTheActivitySoFarThenPrintsOnlyChanges) {
    const QString screen = printed();
    EXPECT_TRUE(screen.startsWith(
        u"Tarnwick Bridge is running in this terminal. Type \"help\" for the commands.\n"_s));
    EXPECT_TRUE(screen.contains(u"Codex engine: Starting\u2026\n"_s));
    EXPECT_TRUE(screen.contains(u"Local link: Available on local network\n"_s));
    EXPECT_TRUE(screen.contains(u"Paired devices: 0 trusted\n"_s));
    // Activity in the order it happened, after the status it changed.
    const auto starting = screen.indexOf(u"\u00b7 Starting Codex app-server\u2026\n"_s);
    const auto started = screen.indexOf(
        u"\u00b7 Bridge started. Only paired devices can call the Codex allowlist.\n"_s);
    EXPECT_GE(starting, 0);
    EXPECT_GT(started, starting);
    EXPECT_TRUE(screen.contains(u"Codex engine: Starting Codex app-server\u2026\n"_s));
    EXPECT_FALSE(screen.contains(u'\x1b'));

    // From then on a status line is printed only when it changes.
    bridge.appServer->status("Codex app-server ready", true);
    EXPECT_EQ(printed(),
              u"\u00b7 Codex app-server ready\nCodex engine: Codex app-server ready\n"_s);
    bridge.link->status = "Advertising as Studio";
    emit bridge.controller->linkStatusChanged();
    EXPECT_EQ(printed(), u"Local link: Advertising as Studio\n"_s);
    emit bridge.controller->linkStatusChanged();
    EXPECT_EQ(printed(), QString());
}

TEST_F(TerminalFrontEndTest, ShowsEachRequestUnderItsSerialAndDecidesTheOneTyped) {
    printed();
    auto& ana = bridge.requestPairing("Ana's iPhone");
    auto& ben = bridge.requestPairing("Ben's iPad");
    auto& cleo = bridge.requestPairing("Cleo's Mac");
    const QString screen = printed();
    // The number and the code, read from the screen as a person would.
    const auto shown =
        QRegularExpression(u"Pairing request 2 from Ben's iPad\n\\s+Code:\\s+(\\d{6})\n"_s)
            .match(screen);
    EXPECT_EQ(shown.captured(1).toStdString(), bridge.controller->pairingRequests()[1].code);
    EXPECT_TRUE(screen.contains(u"type \"pair 2\" or \"reject 2\""_s));

    const QString answer = type(u"pair 2"_s);
    EXPECT_TRUE(bridge.accepted(ben));
    EXPECT_FALSE(bridge.accepted(ana));
    EXPECT_TRUE(answer.contains(u"Paired devices: 1 trusted\n"_s));
    EXPECT_TRUE(answer.contains(u"\u00b7 Paired Ben's iPad.\n"_s));
    EXPECT_FALSE(answer.contains(u"no longer waiting"_s));
    EXPECT_EQ(type(u"REJECT   1"_s), u"\u00b7 Rejected pairing from Ana's iPhone.\n"_s);
    EXPECT_TRUE(bridge.rejected(ana));

    EXPECT_TRUE(type(u"status"_s).contains(u"Pairing request 3 from Cleo's Mac"_s));
    // A device that walks away is said to.
    bridge.link->disconnect(cleo.peer);
    EXPECT_EQ(printed(), u"Pairing request 3 from Cleo's Mac is no longer waiting.\n"_s);
}

TEST_F(TerminalFrontEndTest, AnswersBadNumbersAndUnknownCommandsWithAHint) {
    struct Case {
        const char* typed;
        const char* answer;
    };
    const Case cases[] = {
        {"pair", "Say which request: \"pair N\", with N the number of the request.\n"},
        {"pair one", "Say which request: \"pair N\", with N the number of the request.\n"},
        {"reject 0", "Say which request: \"reject N\", with N the number of the request.\n"},
        {"pair 9",
         "No pairing request 9 is waiting. Type \"status\" to see the waiting requests.\n"},
        {"forget", "Say which device: \"forget N\", with N its number in the \"devices\" list.\n"},
        {"forget 1", "Type \"devices\" first to see the numbers of the devices.\n"},
        {"login maybe", "Type \"login on\" or \"login off\".\n"},
        {"dance", "Unknown command \"dance\". Type \"help\" for the list of commands.\n"},
        {"devices now",
         "Unknown command \"devices now\". Type \"help\" for the list of commands.\n"},
        {"   ", ""},
        // Keys a terminal in line mode passes on as they are: they never become part of a
        // command, and never reach the screen.
        {"\x1b[2J\x07", ""},
        {"\fdance", "Unknown command \"dance\". Type \"help\" for the list of commands.\n"},
        {"\x1b[A\x1b[Bda\x1bOCnce\x7f\x01",
         "Unknown command \"dance\". Type \"help\" for the list of commands.\n"},
        {"pair\t9",
         "No pairing request 9 is waiting. Type \"status\" to see the waiting requests.\n"},
    };
    for (const auto& entry : cases) {
        EXPECT_EQ(type(QString::fromUtf8(entry.typed)), QString::fromUtf8(entry.answer))
            << entry.typed;
    }
    EXPECT_TRUE(bridge.controller->pairingRequests().empty());
}

TEST_F(TerminalFrontEndWithDevicesTest, ListsAndForgetsDevicesByTheirListedNumber) {
    const QString note = versionNote; // both paired with handshake version 1, and each says so
    EXPECT_EQ(type(u"devices"_s),
              u"Trusted devices:\n  1. Ana's iPhone  (paired Nov 30, 2025, 5:20 AM)\n"_s + note +
                  u"  2. Mia's iPad  (paired Nov 29, 2025, 5:20 AM)\n"_s + note);
    // A device paired meanwhile does not shift the numbers that were shown.
    bridge.requestPairing("Aaron's iPhone");
    ASSERT_TRUE(bridge.decideNewest(PairingDecision::accept));
    const QString answer = type(u"forget 2"_s);
    EXPECT_FALSE(bridge.trustStore->peers.contains("DEVICE-1"));
    EXPECT_TRUE(bridge.trustStore->peers.contains("DEVICE-2"));
    EXPECT_TRUE(answer.contains(u"\u00b7 Forgot Mia's iPad.\n"_s));
    EXPECT_TRUE(answer.contains(u"Paired devices: 2 trusted\n"_s));
    EXPECT_EQ(type(u"forget 2"_s), u"Mia's iPad is no longer trusted.\n"_s);
    EXPECT_EQ(type(u"forget 3"_s), u"There is no device 3 in the last \"devices\" list.\n"_s);
}

TEST_F(TerminalFrontEndWithDevicesTest, TheCeilingIsShownAndChangedForEveryDeviceOrForOne) {
    type(u"devices"_s);
    const struct {
        const char* typed;
        const char* shown;
    } steps[] = {
        {"ceiling",
         "Ceiling for every device: at most read-only, approvals kept, no network, in no folder\n"},
        {"ceiling roots /srv/code /home/ana", "in /srv/code, /home/ana\n"},
        {"ceiling roots code", "A folder must be given as an absolute path: code\n"},
        {"ceiling sandbox workspace-write",
         "Devices may now let Codex change files in their working folder.\n"},
        {"ceiling approvals off", "Devices may now let Codex act without asking anyone.\n"},
        {"ceiling device 2 sandbox read-only",
         "  2. Mia's iPad: own ceiling: at most read-only, approvals may be turned off, no "
         "network, in /srv/code, /home/ana\n"},
        {"ceiling device 2 network on", "can only be lower than the one for every device"},
        {"ceiling device 3 sandbox read-only",
         "There is no device 3 in the last \"devices\" list."},
        {"ceiling network maybe", "Say what to change"},
    };
    for (const auto& step : steps) {
        EXPECT_TRUE(type(QString::fromUtf8(step.typed)).contains(QString::fromUtf8(step.shown)))
            << step.typed;
    }
    EXPECT_EQ(bridge.controller->ceilings().devices.at("DEVICE-1").sandbox, SandboxLevel::readOnly);
    EXPECT_TRUE(type(u"devices"_s)
                    .contains(u"  2. Mia's iPad  (paired Nov 29, 2025, 5:20 AM)\n"_s + versionNote +
                              u"     own ceiling: at most read-only"_s));
    type(u"ceiling device 2 clear"_s);
    EXPECT_TRUE(bridge.controller->ceilings().devices.empty());
}

TEST_F(TerminalFrontEndTest, WithoutDevicesExplainsHowToPairAndPhoneShowsAOneTimeCode) {
    EXPECT_EQ(type(u"devices"_s),
              u"No trusted devices. Connect a phone: type \"phone\" and scan the code with the "
              "phone's camera, or run tarnwick-device on another computer.\n"_s);
    EXPECT_EQ(
        type(u"phone"_s),
        u"Cannot connect a phone yet: the bridge is not listening on the local network or has "
        "no secure identity.\n"_s);

    bridge.link->web = "https://192.0.2.7:50123/";
    bridge.link->fingerprint = std::string(64, 'a');
    bridge.link->authority = std::string(64, 'c');
    QStringList lines = type(u"phone"_s).split(u'\n');
    ASSERT_GE(lines.size(), 16);
    EXPECT_EQ(lines.takeLast(), QString());
    // The trust step, at the page's address without the secret, and the authority to compare.
    EXPECT_EQ(lines.takeLast(),
              u"The phone's settings show the certificate's SHA-256: it must be CC"_s +
                  u":CC"_s.repeated(31) + u'.');
    EXPECT_TRUE(lines.takeLast().startsWith(
        u"Android: open https://192.0.2.7:50123/trust, tap Download"_s));
    EXPECT_TRUE(lines.takeLast().startsWith(
        u"iPhone or iPad: open https://192.0.2.7:50123/trust in Safari"_s));
    EXPECT_TRUE(lines.takeLast().startsWith(u"Trust this computer on the phone: "_s));
    EXPECT_EQ(lines.takeLast(), u"The code works once, for 5 minutes."_s);
    EXPECT_EQ(lines.takeLast(), QString(21, u' ') + u"AA"_s + u":AA"_s.repeated(15));
    EXPECT_EQ(lines.takeLast(), u"Certificate SHA-256: AA"_s + u":AA"_s.repeated(15) + u':');
    static const QRegularExpression open(
        u"^Open (https://192\\.0\\.2\\.7:50123/#pair=[A-Za-z0-9_-]{43}) on the phone, or scan "
        "the code\\.$"_s);
    const auto match = open.match(lines.takeLast());
    ASSERT_TRUE(match.hasMatch());
    // Without colours (a pipe), the code as PhoneCodeScansOnLightAndOnDarkTerminals scans it.
    const auto code = QrCode::encode(match.captured(1).toStdString());
    ASSERT_TRUE(code);
    EXPECT_EQ(lines, code->halfBlockLines(QrCode::Colours::lightOnDark));
    // Each time a new code, which replaces the one shown before.
    EXPECT_FALSE(type(u"phone"_s).contains(match.captured(1)));
}

TEST_F(TerminalFrontEndTest, PhoneWarnsThatALoopbackAddressIsOutOfAPhonesReach) {
    bridge.link->fingerprint = std::string(64, 'a');
    const struct {
        const char* web;
        const char* host;
    } cases[] = {{"https://127.0.0.1:47600/", "127.0.0.1"},
                 {"https://[::1]:47600/", "::1"},
                 {"https://192.0.2.7:47600/", nullptr},
                 {"https://[2001:db8::7]:47600/", nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.web);
        bridge.link->web = c.web;
        const QString screen = type(u"phone"_s);
        const QString warning =
            u"\nA phone cannot open this address: %1 is this computer's own loopback address, "
            "as it has no other. Connect this computer to the network the phone is on (Wi-Fi "
            "or cable), then ask for a new code.\n"_s.arg(QString::fromLatin1(c.host));
        EXPECT_EQ(screen.contains(warning), c.host != nullptr) << screen.toStdString();
        EXPECT_EQ(screen.contains(u"A phone cannot"_s), c.host != nullptr);
    }
}

TEST_F(TerminalFrontEndInColourTest, PhoneCodeScansOnLightAndOnDarkTerminals) {
    ASSERT_TRUE(QFile::exists(u"/usr/bin/zbarimg"_s))
        << "zbarimg is missing; scripts/setup installs zbar-tools";
    bridge.link->web = "https://192.0.2.7:50123/";
    const QStringList screen = type(u"phone"_s).split(u'\n');
    static const QRegularExpression open(u"^Open (\\S+) on the phone"_s);
    QString address;
    QStringList ownColours;
    for (const QString& line : screen) {
        if (const auto match = open.match(line); match.hasMatch()) {
            address = match.captured(1);
        } else if (line.startsWith(u"\x1b[38;5;16;48;5;231m"_s)) {
            ownColours.append(line);
        }
    }
    ASSERT_FALSE(address.isEmpty());
    ASSERT_GT(ownColours.size(), 10);
    const auto code = QrCode::encode(address.toStdString());
    ASSERT_TRUE(code);
    const QStringList plain = code->halfBlockLines(QrCode::Colours::lightOnDark);
    // Grey levels of the terminal's own text and background.
    constexpr int dark = 30;
    constexpr int light = 225;
    const struct {
        const char* what;
        const QStringList& lines;
        int text;
        int background;
    } cases[] = {
        {"own colours, dark text on light", ownColours, dark, light},
        {"own colours, light text on dark", ownColours, light, dark},
        {"no colours (a pipe), light text on dark", plain, light, dark},
    };
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const QString image = folder.filePath(u"code.pgm"_s);
        ASSERT_TRUE(writeScreen(c.lines, c.text, c.background, image));
        QProcess zbar;
        zbar.start(u"/usr/bin/zbarimg"_s, {u"--quiet"_s, u"--raw"_s, image});
        ASSERT_TRUE(zbar.waitForFinished(60000));
        EXPECT_EQ(QString::fromUtf8(zbar.readAllStandardOutput()).trimmed(), address)
            << zbar.readAllStandardError().toStdString();
    }
}

TEST_F(TerminalFrontEndTest, TurnsLaunchAtLoginOnAndOffAndShowsARefusal) {
    EXPECT_EQ(type(u"login on"_s), u"Launch at login: on\n"_s);
    EXPECT_TRUE(bridge.controller->launchAtLogin());
    EXPECT_EQ(type(u"login"_s), u"Launch at login: on\n"_s);
    bridge.loginItems->fail = true;
    EXPECT_EQ(
        type(u"login off"_s),
        u"\u00b7 Launch at login could not be changed: Permission denied\nLaunch at login: on\n"_s);
    EXPECT_TRUE(bridge.controller->launchAtLogin());
}

TEST_F(TerminalFrontEndTest, RestartsSaysWhenASecondLaunchFindsItAndOutlivesItsInput) {
    EXPECT_TRUE(type(u"restart"_s).endsWith(u"\u00b7 Restarting Codex app-server.\n"_s));
    EXPECT_EQ(bridge.appServer->starts.size(), 2u);
    frontEnd->handleSecondLaunch();
    EXPECT_EQ(
        printed(),
        u"Another launch of Tarnwick Bridge found this one running and left it in charge.\n"_s);
    QSignalSpy quit(frontEnd.get(), &TerminalFrontEnd::quitRequested);
    frontEnd->handleEndOfInput();
    EXPECT_EQ(printed(), u"Input ended; the bridge keeps running. Stop it with Ctrl-C.\n"_s);
    EXPECT_EQ(quit.count(), 0);
}

TEST_F(TerminalFrontEndTest, StatusHelpAndQuit) {
    // The status lines of the greeting (checked there), then the launch at login.
    const QString status = type(u"status"_s);
    EXPECT_TRUE(status.contains(u"Paired devices: 0 trusted\nLaunch at login: off\n"_s));
    EXPECT_FALSE(status.contains(u"Certificate"_s));
    // Once the link has a certificate, status names it for people to compare.
    bridge.link->fingerprint = "0a" + std::string(62, 'f');
    // In two lines broken between pairs, so that no terminal 80 wide splits a pair.
    EXPECT_TRUE(type(u"status"_s)
                    .contains(u"\nCertificate SHA-256: 0A"_s + u":FF"_s.repeated(15) + u":\n"_s +
                              QString(21, u' ') + u"FF"_s + u":FF"_s.repeated(15) + u"\n"_s));
    const QString help = type(u"help"_s);
    for (const char* command : {"pair N", "reject N", "devices", "forget N", "ceiling", "phone",
                                "restart", "login on|off", "status", "help", "quit"}) {
        EXPECT_TRUE(help.contains(u"  "_s + QString::fromUtf8(command))) << command;
    }
    QSignalSpy quit(frontEnd.get(), &TerminalFrontEnd::quitRequested);
    EXPECT_EQ(type(u"quit"_s), u"Stopping the bridge.\n"_s);
    EXPECT_EQ(quit.count(), 1);
    // Input that ends after quit says nothing more.
    frontEnd->handleEndOfInput();
    EXPECT_EQ(printed(), QString());
}

TEST_F(TerminalFrontEndTest, DeviceTextCannotAddLinesOrSteerTheTerminal) {
    printed();
    bridge.requestPairing("Ana\n\x1b[2J\x1b]0;owned\x07\u2028Zed");
    const QString screen = printed();
    EXPECT_FALSE(screen.contains(u'\x1b'));
    EXPECT_FALSE(screen.contains(u'\x07'));
    EXPECT_FALSE(screen.contains(QChar(0x2028)));
    EXPECT_TRUE(screen.contains(
        u"Pairing request 1 from Ana\u240a\u241b[2J\u241b]0;owned\u2407<U+2028>Zed\n"_s));
    EXPECT_TRUE(screen.contains(
        u"\u00b7 Pairing requested by Ana\u240a\u241b[2J\u241b]0;owned\u2407<U+2028>Zed."_s));

    // A name that hides a character is spelled out, and one that passes for another is marked.
    bridge.requestPairing("Be\u200Bn");
    bridge.requestPairing("\u0412en");
    EXPECT_TRUE(printed().contains(u"Pairing request 3 from \\u{0412}en (look-alike name)\n"_s));
    EXPECT_TRUE(
        type(u"status"_s).contains(u"Pairing request 2 from Be\\u{200B}n (look-alike name)\n"_s));

    // No line is longer than 4 KiB, whatever it quotes.
    const QString answer = type(QString(3000, u'\u00e9'));
    EXPECT_EQ(answer.count(u'\n'), 1);
    EXPECT_LE(answer.toUtf8().size(), TerminalWriter::maxLineBytes);
    EXPECT_TRUE(answer.endsWith(u"\u00e9\u2026\n"_s));
}

TEST_F(TerminalFrontEndInColourTest, ColoursOnlyWhenAskedAndResetsAfterEachSpan) {
    const QString screen = printed();
    // Ctrl-L clears the screen, as in a shell, and is no part of the next command.
    EXPECT_EQ(type(u"\f"_s), u"\x1b[H\x1b[2J"_s);
    EXPECT_TRUE(screen.contains(u"Codex engine: \x1b[33mStarting\u2026\x1b[0m\n"_s));
    bridge.requestPairing("Ana's iPhone");
    const QString code = QString::fromStdString(bridge.controller->pairingRequests()[0].code);
    EXPECT_TRUE(printed().contains(u"    Code:  \x1b[1;33m"_s + code + u"\x1b[0m\n"_s));
}

namespace {

struct Pipe {
    Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0); }
    ~Pipe() {
        closeWriteEnd();
        ::close(fds[0]);
    }
    void write(const QByteArray& bytes) {
        EXPECT_EQ(::write(fds[1], bytes.data(), bytes.size()), bytes.size());
    }
    void closeWriteEnd() {
        if (fds[1] >= 0) {
            ::close(fds[1]);
            fds[1] = -1;
        }
    }
    int fds[2] = {-1, -1};
};

} // namespace

TEST(LineReaderTest, SplitsLinesAcrossReadsAndEndsWithTheInput) {
    Pipe pipe;
    LineReader reader(pipe.fds[0]);
    QStringList lines;
    bool ended = false;
    QObject::connect(&reader, &LineReader::lineRead,
                     [&](const QString& line) { lines.append(line); });
    QObject::connect(&reader, &LineReader::endOfInput, [&] { ended = true; });
    pipe.write("pair 1\r\nsta");
    ASSERT_TRUE(QTest::qWaitFor([&] { return lines.size() == 1; }, 30000));
    pipe.write("tus\n\nlogin on");
    ASSERT_TRUE(QTest::qWaitFor([&] { return lines.size() == 3; }, 30000));
    pipe.closeWriteEnd();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended; }, 30000));
    EXPECT_EQ(lines, (QStringList{u"pair 1"_s, u"status"_s, QString(), u"login on"_s}));
}

TEST(LineReaderTest, DropsALineTooLongToBeACommand) {
    Pipe pipe;
    LineReader reader(pipe.fds[0]);
    QStringList lines;
    QObject::connect(&reader, &LineReader::lineRead,
                     [&](const QString& line) { lines.append(line); });
    pipe.write(QByteArray(3 * LineReader::maxLineBytes, 'x'));
    pipe.write("\nhelp\n");
    // The long line came first; had any of it been taken for a line, it would be first here.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !lines.isEmpty(); }, 30000));
    EXPECT_EQ(lines, QStringList{u"help"_s});
}

TEST(LineReaderTest, AClosedInputHasEndedAtOnce) {
    LineReader reader(-1);
    QSignalSpy ended(&reader, &LineReader::endOfInput);
    EXPECT_TRUE(ended.wait(30000));
}

TEST_F(TerminalFrontEndTest, SetsHowLongQuestionsWaitAndTheNotifyCommandAndKeepsThem) {
    TemporaryDirectory folder;
    const QString stored = QString::fromStdString((folder.path() / "defaults.ini").string());
    auto settings = [&] {
        return std::make_unique<ApprovalSettings>(
            bridge.controller->approvals(),
            std::make_unique<QSettings>(stored, QSettings::IniFormat));
    };
    auto approval = settings();
    frontEnd->setApprovalSettings(approval.get());
    const std::pair<const char*, const char*> table[] = {
        {"approval-wait 90", "Approval questions wait 90 s for a paired device.\n"},
        {"approval-wait soon", "approval-wait takes SECONDS (0 to 604800) or off.\n"},
        {"approval-wait 0",
         "Approval questions are declined at once while no paired device is connected.\n"},
        {"approval-wait off",
         "Approval questions wait for a paired device as long as Codex does.\n"},
        {"notify-command tell",
         "tell is not a program the bridge can run; give its absolute path, or off.\n"},
        {"notify-command /bin/true", "The notify command is now /bin/true.\n"},
    };
    for (const auto& [line, answer] : table) {
        EXPECT_EQ(type(QString::fromUtf8(line)), QString::fromUtf8(answer)) << line;
    }
    EXPECT_EQ(bridge.controller->approvals().waitLimit(), std::nullopt);
    EXPECT_TRUE(type(u"help"_s).contains(u"approval-wait SECONDS|off"_s));

    // Kept for the next run; what a launch option sets for one run is not.
    approval->overrideForThisRun(30, u"/bin/false"_s);
    EXPECT_EQ(bridge.controller->approvals().waitLimit(), std::chrono::seconds(30));
    frontEnd->setApprovalSettings(nullptr);
    approval.reset();
    approval = settings();
    EXPECT_EQ(approval->waitSeconds(), ApprovalSettings::noLimit);
    EXPECT_EQ(approval->notifyCommand(), u"/bin/true"_s);
}
