// The small parts of the application: text made safe to show, dates, the command line, the one
// bridge per user, and signals turned into an orderly stop.
#include "app/ApprovalAlerts.h"
#include "app/BridgeLaunchOptions.h"
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

using namespace tarnwick;
using namespace tarnwick::testing;

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

// ---------------------------------------------------------------------------------------------
// Visible text

TEST(VisibleTextTest, EveryControlCharacterBecomesOneVisibleSymbol) {
    for (char16_t c = 0; c < 0x20; ++c) {
        const QString shown = visibleText(QStringLiteral("a") + QChar(c) + QStringLiteral("b"));
        EXPECT_EQ(shown, QStringLiteral("a") + QChar(char16_t(0x2400 + c)) + QStringLiteral("b"))
            << int(c);
    }
    EXPECT_EQ(visibleText(QStringLiteral("a\x7f")), QStringLiteral("a\u2421"));
}

TEST(VisibleTextTest, CharactersThatBreakOrReorderLinesAreSpelledOut) {
    struct Case {
        char32_t c;
        const char* shown;
    };
    const Case cases[] = {
        {0x0085, "<U+0085>"}, {0x009B, "<U+009B>"}, {0x2028, "<U+2028>"}, {0x2029, "<U+2029>"},
        {0x202E, "<U+202E>"}, {0x2066, "<U+2066>"}, {0x200F, "<U+200F>"}, {0xFEFF, "<U+FEFF>"},
    };
    for (const auto& entry : cases) {
        EXPECT_EQ(visibleText(QStringLiteral("x") + QChar(static_cast<char16_t>(entry.c))),
                  QStringLiteral("x") + QString::fromLatin1(entry.shown))
            << std::hex << uint32_t(entry.c);
    }
}

TEST(VisibleTextTest, OrdinaryTextIsLeftAlone) {
    const QString text = QStringLiteral("Ana’s iPhone 📱 — Ünïcödé, 中文, עברית");
    EXPECT_EQ(visibleText(text), text);
    EXPECT_EQ(visibleText(QString()), QString());
}

TEST(AbbreviatedDateTimeTest, FollowsTheLocale) {
    const QDateTime when(QDate(2025, 11, 27), QTime(15, 4), Qt::LocalTime);
    EXPECT_EQ(abbreviatedDateTime(when, QLocale(QLocale::English, QLocale::UnitedStates)),
              QStringLiteral("Nov 27, 2025, 3:04 PM"));
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

TEST(LaunchOptionsTest, PicksTheModeFromArgumentsAndDisplay) {
    using Mode = BridgeLaunchOptions::Mode;
    struct Case {
        QStringList arguments;
        bool hasDisplay;
        Mode mode;
    };
    const Case cases[] = {
        {{}, true, Mode::window},
        {{}, false, Mode::terminal},
        {{QStringLiteral("--terminal")}, true, Mode::terminal},
        {{QStringLiteral("--terminal")}, false, Mode::terminal},
        {{QStringLiteral("--help")}, true, Mode::help},
        {{QStringLiteral("-h")}, false, Mode::help},
        {{QStringLiteral("--terminal"), QStringLiteral("--help")}, true, Mode::help},
        {{QStringLiteral("--bogus"), QStringLiteral("--help")}, true, Mode::help},
        {{QStringLiteral("--service")}, true, Mode::service},
        {{QStringLiteral("--service")}, false, Mode::service},
        {{QStringLiteral("status")}, true, Mode::control},
        {{QStringLiteral("pair"), QStringLiteral("2")}, false, Mode::control},
        {{QStringLiteral("phone")}, false, Mode::control},
        {{QStringLiteral("restart"), QStringLiteral("--help")}, false, Mode::help},
        {{QStringLiteral("approval-wait"), QStringLiteral("off")}, false, Mode::control},
        {{QStringLiteral("--terminal"), QStringLiteral("--approval-wait=0")}, true, Mode::terminal},
    };
    for (const auto& entry : cases) {
        const auto parsed = BridgeLaunchOptions::parse(entry.arguments, entry.hasDisplay);
        ASSERT_TRUE(std::holds_alternative<BridgeLaunchOptions>(parsed))
            << entry.arguments.join(u' ').toStdString();
        EXPECT_EQ(std::get<BridgeLaunchOptions>(parsed).mode, entry.mode)
            << entry.arguments.join(u' ').toStdString();
    }
}

TEST(LaunchOptionsTest, TakesTheApprovalWaitAndTheNotifyCommandForOneRun) {
    const std::pair<QString, std::optional<int>> waits[] = {
        {QStringLiteral("--approval-wait=0"), 0},
        {QStringLiteral("--approval-wait=90"), 90},
        {QStringLiteral("--approval-wait=off"), ApprovalSettings::noLimit},
        {QStringLiteral("--approval-wait=none"), ApprovalSettings::noLimit},
        {QStringLiteral("--approval-wait=-5"), std::nullopt},
        {QStringLiteral("--approval-wait=10m"), std::nullopt},
        {QStringLiteral("--approval-wait="), std::nullopt},
        {QStringLiteral("--approval-wait=99999999"), std::nullopt},
    };
    for (const auto& [argument, seconds] : waits) {
        const auto parsed = BridgeLaunchOptions::parse({argument}, false);
        if (seconds) {
            ASSERT_TRUE(std::holds_alternative<BridgeLaunchOptions>(parsed));
            EXPECT_EQ(std::get<BridgeLaunchOptions>(parsed).approvalWait, seconds);
        } else {
            EXPECT_TRUE(std::holds_alternative<QString>(parsed)) << argument.toStdString();
        }
    }
    const auto command =
        BridgeLaunchOptions::parse({QStringLiteral("--notify-command=/usr/local/bin/tell")}, false);
    ASSERT_TRUE(std::holds_alternative<BridgeLaunchOptions>(command));
    EXPECT_EQ(std::get<BridgeLaunchOptions>(command).notifyCommand,
              QStringLiteral("/usr/local/bin/tell"));
    // A name looked up in PATH, or a shell string, is not a program path.
    for (const char* refused : {"--notify-command=tell", "--notify-command=", "--notify-command"}) {
        EXPECT_TRUE(std::holds_alternative<QString>(BridgeLaunchOptions::parse({refused}, false)));
    }
    EXPECT_TRUE(BridgeLaunchOptions::usage().contains(QStringLiteral("--approval-wait=SECONDS")));
}

TEST(LaunchOptionsTest, RefusesWhatItDoesNotKnowInOneLine) {
    for (const QStringList& arguments :
         {QStringList{QStringLiteral("--bogus")}, QStringList{QStringLiteral("-platform")},
          QStringList{QStringLiteral("terminal")}, QStringList{QStringLiteral("pair")},
          QStringList{QStringLiteral("pair"), QStringLiteral("x")},
          QStringList{QStringLiteral("reject"), QStringLiteral("0")},
          QStringList{QStringLiteral("status"), QStringLiteral("now")},
          QStringList{QStringLiteral("forget"), QStringLiteral("1"), QStringLiteral("2")},
          QStringList{QStringLiteral("tablet")},
          QStringList{QStringLiteral("phone"), QStringLiteral("1")}}) {
        const auto parsed = BridgeLaunchOptions::parse(arguments, true);
        ASSERT_TRUE(std::holds_alternative<QString>(parsed)) << arguments.join(u' ').toStdString();
        const QString& complaint = std::get<QString>(parsed);
        EXPECT_TRUE(complaint.contains(arguments.first()));
        EXPECT_FALSE(complaint.contains(u'\n'));
    }
    EXPECT_TRUE(BridgeLaunchOptions::usage().contains(QStringLiteral("--terminal")));
    EXPECT_TRUE(BridgeLaunchOptions::usage().contains(QStringLiteral("--service")));
}

// ---------------------------------------------------------------------------------------------
// Words: what a person reads says what is true on this computer

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
    EXPECT_EQ(PairingNotifier::shownName(QStringLiteral("Ana\u2019s phone")),
              QStringLiteral("Ana\u2019s phone"));
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
// One bridge per user

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

TEST(SingleInstanceTest, ALaterLaunchReachesTheRunningBridge) {
    QTemporaryDir runtime;
    SingleInstance first(runtime.path());
    ASSERT_TRUE(first.claim(SingleInstance::FrontEnd::terminal)) << first.error().toStdString();
    QSignalSpy activations(&first, &SingleInstance::activationRequested);

    SingleInstance second(runtime.path());
    EXPECT_FALSE(second.claim(SingleInstance::FrontEnd::window));
    EXPECT_EQ(second.error(), QString());
    // The running bridge answers from its event loop; the later launch waits on its own thread.
    auto answer = std::async(std::launch::async, [&] { return second.notifyRunning(30000); });
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
        60000));
    EXPECT_EQ(answer.get(), SingleInstance::FrontEnd::terminal);
    EXPECT_EQ(activations.count(), 1);
}

TEST(SingleInstanceTest, AControlCommandIsAnsweredByTheRunningBridgeOnly) {
    QTemporaryDir runtime;
    SingleInstance nobody(runtime.path());
    EXPECT_EQ(nobody.sendControl({QStringLiteral("status")}, 200), std::nullopt);
    EXPECT_EQ(nobody.error(), QStringLiteral("Tarnwick Bridge is not running."));

    SingleInstance running(runtime.path());
    ASSERT_TRUE(running.claim(SingleInstance::FrontEnd::service));
    QStringList heard;
    running.setControlHandler([&](const QStringList& words) {
        heard = words;
        return SingleInstance::ControlAnswer{words.first() == u"pair",
                                             QStringLiteral("answer to ") + words.join(u'+')};
    });
    SingleInstance client(runtime.path());
    auto answer = std::async(std::launch::async, [&] {
        return client.sendControl({QStringLiteral("pair"), QStringLiteral("3")}, 30000);
    });
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
        60000));
    const auto got = answer.get();
    ASSERT_TRUE(got.has_value()) << client.error().toStdString();
    EXPECT_TRUE(got->ok);
    EXPECT_EQ(got->text, QStringLiteral("answer to pair+3"));
    EXPECT_EQ(heard, QStringList({QStringLiteral("pair"), QStringLiteral("3")}));
    // A line break would smuggle a second request: nothing is sent.
    EXPECT_EQ(client.sendControl({QStringLiteral("status\nactivate")}, 200), std::nullopt);
}

TEST(SingleInstanceTest, TheLockIsFreeAgainWhenTheBridgeStops) {
    QTemporaryDir runtime;
    {
        SingleInstance first(runtime.path());
        ASSERT_TRUE(first.claim(SingleInstance::FrontEnd::window));
    }
    SingleInstance next(runtime.path());
    EXPECT_TRUE(next.claim(SingleInstance::FrontEnd::window)) << next.error().toStdString();
}

TEST(SingleInstanceTest, ALockLeftByADeadProcessAndItsSocketAreTakenOver) {
    QTemporaryDir runtime;
    SingleInstance instance(runtime.path());
    // A process that has ended: its lock file and socket file stay behind, as after a crash.
    QProcess ended;
    ended.start(QStringLiteral("/bin/true"));
    ASSERT_TRUE(ended.waitForFinished(30000));
    const qint64 deadPid = ended.processId() ? ended.processId() : 999999;
    QFile lock(instance.lockPath());
    ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
    lock.write(QByteArray::number(deadPid ? deadPid : 999999) + "\ntarnwick-bridge\n" +
               QSysInfo::machineHostName().toUtf8() + "\n");
    lock.close();
    QFile socket(instance.socketPath());
    ASSERT_TRUE(socket.open(QIODevice::WriteOnly));
    socket.close();

    EXPECT_TRUE(instance.claim(SingleInstance::FrontEnd::window)) << instance.error().toStdString();
}

TEST(SingleInstanceTest, NobodyAnsweringIsReportedNotAwaitedForever) {
    QTemporaryDir runtime;
    // The lock is held but no bridge listens.
    QLockFile held(QDir(runtime.path()).filePath(QStringLiteral("tarnwick-bridge.lock")));
    ASSERT_TRUE(held.tryLock(0));
    SingleInstance later(runtime.path());
    EXPECT_FALSE(later.claim(SingleInstance::FrontEnd::window));
    EXPECT_EQ(later.notifyRunning(200), std::nullopt);
}

TEST(SingleInstanceTest, AnUnusableDirectoryIsAnError) {
    SingleInstance nowhere(QStringLiteral("/proc/tarnwick-no-such-dir"));
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
