// The small parts of the application: text made safe to show, dates, the command line, the one
// bridge per user, and signals turned into an orderly stop.
#include "app/ApprovalAlerts.h"
#include "app/BridgeLaunchOptions.h"
#include "app/CeilingSettings.h"
#include "app/PairingNotifier.h"
#include "app/SingleInstance.h"
#include "app/UnixSignalWatcher.h"
#include "appserver/AppServerError.h"
#include "bridge/ApprovalRouter.h"
#include "bridge/ShownNames.h"
#include "support/QtTestSupport.h"
#include "support/TemporaryHome.h"
#include "ui/ApprovalSettings.h"
#include "ui/DisplayText.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>

using namespace Qt::StringLiterals;
using namespace tarnwick;
using namespace tarnwick::testing;

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

// ---------------------------------------------------------------------------------------------
// Visible text

TEST(VisibleTextTest, ControlCharactersBecomeSymbolsAndLineBreakersAreSpelledOut) {
    for (char16_t c = 0; c < 0x20; ++c) {
        EXPECT_EQ(visibleText(u"a"_s + QChar(c) + u"b"_s),
                  u"a"_s + QChar(char16_t(0x2400 + c)) + u"b"_s)
            << int(c);
    }
    EXPECT_EQ(visibleText(u"a\x7f"_s), u"a\u2421"_s);
    // What breaks or reorders lines.
    const std::pair<char16_t, QString> spelled[] = {
        {0x0085, u"<U+0085>"_s}, {0x009B, u"<U+009B>"_s}, {0x2028, u"<U+2028>"_s},
        {0x2029, u"<U+2029>"_s}, {0x202E, u"<U+202E>"_s}, {0x2066, u"<U+2066>"_s},
        {0x200F, u"<U+200F>"_s}, {0xFEFF, u"<U+FEFF>"_s},
    };
    for (const auto& [c, shown] : spelled) {
        EXPECT_EQ(visibleText(u"x"_s + QChar(c)), u"x"_s + shown) << int(c);
    }
    const QString text = u"Ana’s iPhone 📱 — Ünïcödé, 中文, עברית"_s;
    EXPECT_EQ(visibleText(text), text);
}

TEST(AbbreviatedDateTimeTest, FollowsTheLocale) {
    const QDateTime when(QDate(2025, 11, 27), QTime(15, 4), Qt::LocalTime);
    // US English is checked where the window and the terminal show dates.
    const QString german = abbreviatedDateTime(when, QLocale(QLocale::German, QLocale::Germany));
    EXPECT_TRUE(german.startsWith(QStringLiteral("27. Nov"))) << german.toStdString();
    EXPECT_TRUE(german.endsWith(QStringLiteral("15:04"))) << german.toStdString();
    // No weekday in any of them.
    for (const auto& locale :
         {QLocale(QLocale::French, QLocale::France), QLocale(QLocale::Hungarian, QLocale::Hungary),
          QLocale(QLocale::Japanese, QLocale::Japan)}) {
        const QString text = abbreviatedDateTime(when, locale);
        EXPECT_FALSE(text.contains(locale.dayName(4, QLocale::LongFormat))) << text.toStdString();
        EXPECT_FALSE(text.trimmed().startsWith(u',')) << text.toStdString();
    }
}

// ---------------------------------------------------------------------------------------------
// Command line

namespace {

// `arguments` split at spaces, as a shell gives them.
std::variant<BridgeLaunchOptions, QString> parse(const char* arguments, bool hasDisplay) {
    return BridgeLaunchOptions::parse(QString::fromUtf8(arguments).split(u' ', Qt::SkipEmptyParts),
                                      hasDisplay);
}

} // namespace

TEST(LaunchOptionsTest, PicksTheModeFromArgumentsAndDisplayAndTheSettingsForOneRun) {
    using Mode = BridgeLaunchOptions::Mode;
    const struct {
        const char* arguments;
        bool hasDisplay;
        Mode mode;
        std::optional<int> approvalWait = std::nullopt;
    } cases[] = {
        {"", true, Mode::window},
        {"", false, Mode::terminal},
        {"--terminal", true, Mode::terminal},
        {"--terminal", false, Mode::terminal},
        {"--help", true, Mode::help},
        {"-h", false, Mode::help},
        {"--terminal --help", true, Mode::help},
        {"--bogus --help", true, Mode::help},
        {"--service", true, Mode::service},
        {"--service", false, Mode::service},
        {"status", true, Mode::control},
        {"pair 2", false, Mode::control},
        {"phone", false, Mode::control},
        {"restart --help", false, Mode::help},
        {"approval-wait off", false, Mode::control},
        {"--terminal --approval-wait=0", true, Mode::terminal, 0},
        {"--approval-wait=90", false, Mode::terminal, 90},
        {"--approval-wait=off", false, Mode::terminal, ApprovalSettings::noLimit},
        {"--approval-wait=none", false, Mode::terminal, ApprovalSettings::noLimit},
    };
    for (const auto& entry : cases) {
        const auto parsed = parse(entry.arguments, entry.hasDisplay);
        ASSERT_TRUE(std::holds_alternative<BridgeLaunchOptions>(parsed)) << entry.arguments;
        EXPECT_EQ(std::get<BridgeLaunchOptions>(parsed).mode, entry.mode) << entry.arguments;
        EXPECT_EQ(std::get<BridgeLaunchOptions>(parsed).approvalWait, entry.approvalWait)
            << entry.arguments;
    }
    const auto command = parse("--notify-command=/usr/local/bin/tell", false);
    ASSERT_TRUE(std::holds_alternative<BridgeLaunchOptions>(command));
    EXPECT_EQ(std::get<BridgeLaunchOptions>(command).notifyCommand, u"/usr/local/bin/tell"_s);
    for (const char* option : {"--terminal", "--service", "--approval-wait=SECONDS"}) {
        EXPECT_TRUE(BridgeLaunchOptions::usage().contains(QString::fromUtf8(option))) << option;
    }
}

TEST(LaunchOptionsTest, RefusesWhatItDoesNotKnowInOneLine) {
    // A notify command looked up in PATH, or a shell string, is not a program path.
    for (const char* arguments :
         {"--bogus", "-platform", "terminal", "pair", "pair x", "reject 0", "status now",
          "forget 1 2", "tablet", "phone 1", "--approval-wait=-5", "--approval-wait=10m",
          "--approval-wait=", "--approval-wait=99999999", "--notify-command=tell",
          "--notify-command=", "--notify-command"}) {
        const auto parsed = parse(arguments, true);
        ASSERT_TRUE(std::holds_alternative<QString>(parsed)) << arguments;
        const QString& complaint = std::get<QString>(parsed);
        EXPECT_TRUE(complaint.contains(
            QString::fromUtf8(arguments).section(u' ', 0, 0).section(u'=', 0, 0)))
            << arguments;
        EXPECT_FALSE(complaint.contains(u'\n'));
    }
}

// ---------------------------------------------------------------------------------------------
// Words: what a person reads says what is true on this computer

// The ceilings come back after a relaunch as they were set; a damaged setting never opens more
// than the standard ceiling, and a device's own that cannot be read is the least one.
TEST(CeilingSettingsTest, CeilingsSurviveARelaunchAndDamagedOnesFallLow) {
    TemporaryDirectory folder{"tarnwick-ceiling-settings"};
    const QString file = QString::fromStdString((folder.path() / "bridge.conf").string());
    auto settingsIn = [&] { return std::make_unique<QSettings>(file, QSettings::IniFormat); };
    const CeilingBook set{
        {SandboxLevel::dangerFullAccess, true, true, {"/srv", "/home/a"}},
        {{"phone", DeviceCeiling{SandboxLevel::readOnly, false, false, {"/srv"}}}}};
    ASSERT_TRUE(CeilingSettings(settingsIn(), "/home/a", "/home/a").save(set).hasValue());
    EXPECT_EQ(CeilingSettings(settingsIn(), "/home/a", "/home/a").load(), set);

    auto damaged = settingsIn();
    damaged->setValue("ceiling/everyDevice", R"({"sandbox":"everything","approvalNever":true})");
    damaged->setValue("ceiling/devices", R"({"phone":{"sandbox":"read-only","roots":["srv"]}})");
    damaged->sync();
    const CeilingBook read = CeilingSettings(settingsIn(), "/home/a", "/home/a").load();
    EXPECT_EQ(read.everyDevice, DeviceCeiling::standard("/home/a"));
    EXPECT_EQ(read.devices.at("phone"), DeviceCeiling{});
}

TEST(LinuxWordsTest, NoTextNamesAnotherPlatformOrItsDevices) {
    static const QRegularExpression foreign(
        QStringLiteral("\\b(Mac|macOS|iPhone|iPad|Homebrew|homebrew|entitlements)\\b"));
    QStringList texts{BridgeLaunchOptions::usage(),
                      QString::fromStdString(AppServerError::codexNotFound().description())};
    // Every string literal of the window, except the icon names of its symbols.
    static const QRegularExpression literal(QStringLiteral("\"((?:[^\"\\\\]|\\\\.)*)\""));
    const QDir qml(QStringLiteral(TARNWICK_SOURCE_DIR "/src/ui/qml"));
    const QStringList files = qml.entryList({QStringLiteral("*.qml")});
    ASSERT_FALSE(files.isEmpty());
    for (const QString& name : files) {
        QFile file(qml.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
        for (const QString& line : QString::fromUtf8(file.readAll()).split(u'\n')) {
            if (line.contains(QStringLiteral("symbol")) || line.contains(u'{')) {
                continue;
            }
            for (const auto& match : literal.globalMatch(line)) {
                texts.append(match.captured(1));
            }
        }
    }
    QFile entry(QStringLiteral(TARNWICK_SOURCE_DIR "/src/app/tarnwick-bridge.desktop"));
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    texts.append(QString::fromUtf8(entry.readAll()));
    for (const QString& text : texts) {
        EXPECT_FALSE(text.contains(foreign)) << text.toStdString();
    }
    // The window's words are there at all (the scan read something).
    EXPECT_TRUE(texts.contains(QStringLiteral(
        "This computer is the secure engine. Your phone or tablet is the cockpit.")));
    // The not-found message names the places searched.
    for (const char* place : {"PATH", "~/.npmrc", "~/.npm-global/bin", "~/.nvm/versions/node",
                              "~/.volta/bin", "~/.local/bin", "/usr/bin"}) {
        EXPECT_TRUE(texts[1].contains(QString::fromLatin1(place))) << place;
    }
}

TEST(PairingNotifierTest, ShowsADeviceNameAsEveryScreenDoesWithItsMarker) {
    EXPECT_EQ(PairingNotifier::shownName(QStringLiteral("a\nb\u202Ec")),
              QStringLiteral("a\u240Ab<U+202E>c"));
    // A long name that passes for another is spelled out and marked, far beyond 64 characters;
    // the notification keeps the marker that tells the two apart.
    const std::string genuine = "Ben's phone " + std::string(40, 'x');
    const std::string lookAlike = "\u0412en's phone " + std::string(40, 'x');
    const QString marked = QString::fromStdString(ShownNames({genuine, lookAlike}).show(lookAlike));
    ASSERT_GT(marked.size(), 64);
    ASSERT_TRUE(marked.endsWith(QString::fromLatin1(ShownNames::lookAlikeMarker.data())));
    EXPECT_EQ(PairingNotifier::shownName(marked), marked);
    // Without a session bus nothing is sent and nothing fails.
    PairingNotifier quiet(QDBusConnection(QStringLiteral("tarnwick-test-no-bus")), true);
    quiet.notify(1, QStringLiteral("Phone"), QStringLiteral("123456"));
}

// ---------------------------------------------------------------------------------------------
// The notify command

namespace {

// A stand-in for the person's notify script: records its arguments and its input.
struct NotifyScript {
    explicit NotifyScript(const std::string& body) {
        std::ofstream(path) << "#!/bin/sh\ncd " << folder.path().string() << " || exit 9\n" << body;
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    }
    std::string read(const char* name) const {
        std::ifstream file(folder.path() / name);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }
    TemporaryDirectory folder;
    std::filesystem::path path = folder.path() / "notify";
};

bool runOnce(NotifyCommand& command, const std::filesystem::path& path, const JSONValue& what) {
    std::optional<bool> succeeded;
    auto connection = QObject::connect(&command, &NotifyCommand::finished, &command,
                                       [&](bool ok) { succeeded = ok; });
    command.run(QString::fromStdString(path.string()), what);
    EXPECT_TRUE(waitUntil([&] { return succeeded.has_value(); }));
    QObject::disconnect(connection);
    return succeeded.value_or(false);
}

} // namespace

TEST(NotifyCommandTest, CodexTextReachesTheInputOnlyNeverTheCommandLine) {
    NotifyScript script("printf '%s|' \"$#\" \"$@\" > argv\ncat > input\n");
    // What a command Codex proposes might hold, aimed at whatever builds a shell line from it.
    const std::string hostile = "echo \"hi\"'; touch pwned1 #\n$(touch pwned2) `touch pwned3` "
                                "&& touch pwned4\\";
    WaitingQuestion question;
    question.bridgeID = "ID";
    question.method = "item/commandExecution/requestApproval";
    question.threadID = "t1";
    question.cwd = "/work/$(touch pwned5)";
    question.command = hostile;
    NotifyCommand command;
    ASSERT_TRUE(runOnce(command, script.path,
                        ApprovalAlerts::waitingDescription(question, "2026-12-07T12:00:00Z")));
    EXPECT_EQ(script.read("argv"), "0|");
    const auto input = JSONValue::decode(script.read("input"));
    ASSERT_TRUE(input.hasValue());
    EXPECT_EQ(*input, JSONValue(JSONObject{{"event", "question-waiting"},
                                           {"threadId", "t1"},
                                           {"cwd", "/work/$(touch pwned5)"},
                                           {"waitingSince", "2026-12-07T12:00:00Z"},
                                           {"command", hostile}}));
    for (const char* planted : {"pwned1", "pwned2", "pwned3", "pwned4", "pwned5"}) {
        EXPECT_FALSE(std::filesystem::exists(script.folder.path() / planted)) << planted;
    }
}

TEST(NotifyCommandTest, AHangingOrFailingCommandIsStoppedAndReportedOnceUntilItWorksAgain) {
    NotifyScript script("if [ -e works ]; then exit 0; fi\n"
                        "if [ -e fails ]; then exit 3; fi\nexec sleep 600\n");
    NotifyCommand command(std::chrono::milliseconds(300));
    QSignalSpy failed(&command, &NotifyCommand::failed);
    const JSONValue what = JSONObject{{"event", "turn-finished"}};
    EXPECT_FALSE(runOnce(command, script.path, what));
    ASSERT_EQ(failed.size(), 1);
    EXPECT_TRUE(failed[0][0].toString().contains(QStringLiteral("did not end within")));
    std::ofstream(script.folder.path() / "fails");
    EXPECT_FALSE(runOnce(command, script.path, what));
    EXPECT_EQ(failed.size(), 1) << "a failure is reported once, not once per run";
    std::ofstream(script.folder.path() / "works");
    EXPECT_TRUE(runOnce(command, script.path, what));
    std::filesystem::remove(script.folder.path() / "works");
    EXPECT_FALSE(runOnce(command, script.path, what));
    ASSERT_EQ(failed.size(), 2);
    EXPECT_TRUE(failed[1][0].toString().contains(QStringLiteral("exited with status 3")));
    EXPECT_FALSE(runOnce(command, script.folder.path() / "missing", what));
}

// ---------------------------------------------------------------------------------------------
// One bridge per user

namespace {

// What `ask` gives, asked on a thread of its own while this one runs the event loop, as a
// later launch asks the running bridge.
template <typename Ask>
auto askedAside(Ask ask) {
    auto answer = std::async(std::launch::async, ask);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
        60000));
    return answer.get();
}

} // namespace

TEST(SingleInstanceTest, ALaterLaunchReachesTheRunningBridge) {
    QTemporaryDir runtime;
    SingleInstance first(runtime.path());
    ASSERT_TRUE(first.claim(SingleInstance::FrontEnd::terminal)) << first.error().toStdString();
    QSignalSpy activations(&first, &SingleInstance::activationRequested);

    SingleInstance second(runtime.path());
    EXPECT_FALSE(second.claim(SingleInstance::FrontEnd::window));
    EXPECT_EQ(second.error(), QString());
    EXPECT_EQ(askedAside([&] { return second.notifyRunning(30000); }),
              SingleInstance::FrontEnd::terminal);
    EXPECT_EQ(activations.count(), 1);
}

TEST(SingleInstanceTest, AControlCommandIsAnsweredByTheRunningBridgeOnly) {
    QTemporaryDir runtime;
    SingleInstance nobody(runtime.path());
    EXPECT_EQ(nobody.sendControl({u"status"_s}, 200), std::nullopt);
    EXPECT_EQ(nobody.error(), u"Tarnwick Bridge is not running."_s);

    SingleInstance running(runtime.path());
    ASSERT_TRUE(running.claim(SingleInstance::FrontEnd::service));
    QStringList heard;
    running.setControlHandler([&](const QStringList& words) {
        heard = words;
        return SingleInstance::ControlAnswer{words.first() == u"pair",
                                             u"answer to "_s + words.join(u'+')};
    });
    SingleInstance client(runtime.path());
    const auto got = askedAside([&] { return client.sendControl({u"pair"_s, u"3"_s}, 30000); });
    ASSERT_TRUE(got.has_value()) << client.error().toStdString();
    EXPECT_TRUE(got->ok);
    EXPECT_EQ(got->text, u"answer to pair+3"_s);
    EXPECT_EQ(heard, QStringList({u"pair"_s, u"3"_s}));
    // A line break would smuggle a second request: nothing is sent.
    EXPECT_EQ(client.sendControl({u"status\nactivate"_s}, 200), std::nullopt);
}

TEST(SingleInstanceTest, ALockLeftByADeadProcessAndItsSocketAreTakenOver) {
    QTemporaryDir runtime;
    SingleInstance instance(runtime.path());
    // A process that has ended: its lock file and socket file stay behind, as after a crash.
    QProcess ended;
    ended.start(u"/bin/true"_s);
    ASSERT_TRUE(ended.waitForStarted(30000));
    const qint64 deadPid = ended.processId();
    ASSERT_TRUE(ended.waitForFinished(30000));
    QFile lock(instance.lockPath());
    ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
    lock.write(QByteArray::number(deadPid) + "\ntarnwick-bridge\n" +
               QSysInfo::machineHostName().toUtf8() + "\n");
    lock.close();
    QFile socket(instance.socketPath());
    ASSERT_TRUE(socket.open(QIODevice::WriteOnly));
    socket.close();

    EXPECT_TRUE(instance.claim(SingleInstance::FrontEnd::window)) << instance.error().toStdString();
}

TEST(SingleInstanceTest, NobodyAnsweringAndAnUnusableDirectoryAreReportedNotAwaited) {
    QTemporaryDir runtime;
    // The lock is held but no bridge listens.
    QLockFile held(QDir(runtime.path()).filePath(u"tarnwick-bridge.lock"_s));
    ASSERT_TRUE(held.tryLock(0));
    SingleInstance later(runtime.path());
    EXPECT_FALSE(later.claim(SingleInstance::FrontEnd::window));
    EXPECT_EQ(later.notifyRunning(200), std::nullopt);

    SingleInstance nowhere(u"/proc/tarnwick-no-such-dir"_s);
    EXPECT_FALSE(nowhere.claim(SingleInstance::FrontEnd::window));
    EXPECT_FALSE(nowhere.error().isEmpty());
}

// ---------------------------------------------------------------------------------------------
// Signals

TEST(UnixSignalWatcherTest, DeliversTheSignalOnTheEventLoop) {
    UnixSignalWatcher watcher({SIGUSR2});
    QSignalSpy signalled(&watcher, &UnixSignalWatcher::signalled);
    std::raise(SIGUSR2);
    ASSERT_TRUE(signalled.wait(30000) || signalled.count() > 0);
    EXPECT_EQ(signalled.first().first().toInt(), SIGUSR2);
}
