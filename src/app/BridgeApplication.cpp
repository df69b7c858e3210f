#include "app/BridgeApplication.h"

#include "app/ApprovalAlerts.h"
#include "app/BridgeControl.h"
#include "app/BridgeLaunchOptions.h"
#include "app/PairingNotifier.h"
#include "app/SingleInstance.h"
#include "app/UnixSignalWatcher.h"
#include "app/WindowHost.h"
#include "bridge/BridgeController.h"
#include "identity/UserDefaults.h"
#include "ui/ApprovalSettings.h"
#include "ui/DisplayText.h"
#include "ui/LineReader.h"
#include "ui/TerminalFrontEnd.h"
#include "ui/TerminalWriter.h"

#include <QCoreApplication>
#include <QFile>
#include <QLibrary>
#include <QTextStream>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <optional>

namespace tarnwick {

namespace {

void printLine(std::FILE* stream, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

// Stops the event loop on SIGINT, SIGTERM or SIGHUP, so that everything is torn down in order;
// a second signal while stopping ends the process the default way.
void stopOnSignals(UnixSignalWatcher& watcher) {
    QObject::connect(&watcher, &UnixSignalWatcher::signalled, QCoreApplication::instance(),
                     [stopping = false](int number) mutable {
                         if (stopping) {
                             std::signal(number, SIG_DFL);
                             std::raise(number);
                             return;
                         }
                         stopping = true;
                         QCoreApplication::quit();
                     });
}

// Tells the running bridge that someone launched another, and says what became of it.
int handOver(SingleInstance& instance) {
    const auto running = instance.notifyRunning();
    if (!running) {
        printLine(stderr, QStringLiteral("Tarnwick Bridge is already running but did not answer; "
                                         "this launch stops."));
        return 1;
    }
    switch (*running) {
    case SingleInstance::FrontEnd::window:
        printLine(stdout, QStringLiteral("Tarnwick Bridge is already running; its window was "
                                         "brought to the front."));
        break;
    case SingleInstance::FrontEnd::terminal:
        printLine(stdout, QStringLiteral("Tarnwick Bridge is already running in a terminal; "
                                         "this launch stops."));
        break;
    case SingleInstance::FrontEnd::service:
        printLine(stdout, QStringLiteral("Tarnwick Bridge is already running as a service; this "
                                         "launch stops. \"tarnwick-bridge status\" shows it."));
        break;
    }
    return 0;
}

// Makes this process the running bridge; otherwise tells the running one and gives the exit
// status this launch ends with.
std::optional<int> claimOrHandOver(SingleInstance& instance, SingleInstance::FrontEnd frontEnd) {
    if (instance.claim(frontEnd)) {
        return std::nullopt;
    }
    if (!instance.error().isEmpty()) {
        printLine(stderr, instance.error());
        return 1;
    }
    return handOver(instance);
}

// Lets `tarnwick-bridge status`, `pair N` and the rest reach this bridge through its socket.
std::unique_ptr<BridgeControl> answerControlCommands(SingleInstance& instance,
                                                     BridgeController& controller) {
    auto control = std::make_unique<BridgeControl>(controller);
    instance.setControlHandler(
        [raw = control.get()](const QStringList& words) { return raw->handle(words); });
    return control;
}

// The person's approval choices, with this launch's options over the stored ones, and what
// tells them that Codex waits. `notifier` may be null.
struct ApprovalParts {
    std::unique_ptr<ApprovalSettings> settings;
    std::unique_ptr<ApprovalAlerts> alerts;
};
ApprovalParts approvalParts(BridgeController& controller, const BridgeLaunchOptions& options,
                            PairingNotifier* notifier, BridgeControl& control) {
    ApprovalParts parts;
    parts.settings = std::make_unique<ApprovalSettings>(controller.approvals(), openUserDefaults());
    parts.settings->overrideForThisRun(options.approvalWait, options.notifyCommand);
    parts.alerts = std::make_unique<ApprovalAlerts>(controller, *parts.settings, notifier);
    control.setApprovalSettings(parts.settings.get());
    return parts;
}

// A control command: sends it to the running bridge and prints the answer.
int runControl(int argc, char** argv, const QStringList& command) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnwick-bridge"));
    SingleInstance instance(SingleInstance::defaultDirectory());
    const auto answer = instance.sendControl(command);
    if (!answer) {
        printLine(stderr, instance.error());
        return 3;
    }
    FILE* out = answer->ok ? stdout : stderr;
    // The answer may colour a QR code; a pipe or a file gets it plain.
    const QString text = TerminalWriter::colourSuits(fileno(out))
                             ? answer->text
                             : TerminalWriter::withoutColours(answer->text);
    std::fputs(text.toLocal8Bit().constData(), out);
    std::fflush(out);
    return answer->ok ? 0 : 1;
}

// The bridge as a service: no terminal, no window. What a person would read in the terminal,
// the activity lines and the status changes, goes to standard error, which the journal keeps.
int runAsService(int argc, char** argv, const BridgeLaunchOptions& options) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnwick-bridge"));
    SingleInstance instance(SingleInstance::defaultDirectory());
    if (auto status = claimOrHandOver(instance, SingleInstance::FrontEnd::service)) {
        return *status;
    }
    UnixSignalWatcher stopSignals({SIGINT, SIGTERM, SIGHUP});
    stopOnSignals(stopSignals);

    std::unique_ptr<BridgeController> controller = makeApplicationController();
    {
        const std::unique_ptr<BridgeControl> control = answerControlCommands(instance, *controller);
        PairingNotifier notifier(PairingNotifier::sessionBusIfAny(), false);
        const ApprovalParts approvals = approvalParts(*controller, options, &notifier, *control);
        QObject::connect(control.get(), &BridgeControl::requestArrived, &notifier,
                         &PairingNotifier::notify);
        QObject::connect(control.get(), &BridgeControl::requestEnded, &notifier,
                         &PairingNotifier::withdraw);
        QObject::connect(control.get(), &BridgeControl::requestArrived, control.get(),
                         [](int number, const QString& displayName, const QString& code) {
                             printLine(
                                 stderr,
                                 QStringLiteral("Pairing request %1 from %2, code %3. "
                                                "Compare it with the code on the "
                                                "device, then run \"tarnwick-bridge "
                                                "pair %1\" or \"tarnwick-bridge reject "
                                                "%1\".")
                                     .arg(QString::number(number), visibleText(displayName), code));
                         });
        const BridgeController* shown = controller.get();
        auto printStatus = [shown] {
            printLine(stderr,
                      QStringLiteral("Codex engine: ") + visibleText(shown->appServerStatus()));
        };
        QObject::connect(controller.get(), &BridgeController::appServerStatusChanged,
                         controller.get(), printStatus);
        QObject::connect(controller.get(), &BridgeController::linkStatusChanged, controller.get(),
                         [shown] {
                             printLine(stderr, QStringLiteral("Local link: ") +
                                                   visibleText(shown->linkStatus()));
                         });
        QObject::connect(controller.get(), &BridgeController::lineLogged, controller.get(),
                         [](const QString& line) { printLine(stderr, visibleText(line)); });
        QObject::connect(&instance, &SingleInstance::activationRequested, controller.get(), [] {
            printLine(stderr, QStringLiteral("Another launch of Tarnwick Bridge found this one "
                                             "running and left it in charge."));
        });
        printLine(stderr, QStringLiteral("Tarnwick Bridge is running as a service."));
        // Lines logged before this point (a failed identity) are shown oldest first.
        const auto& earlier = controller->logs();
        for (auto line = earlier.rbegin(); line != earlier.rend(); ++line) {
            printLine(stderr, visibleText(QString::fromStdString(*line)));
        }
        controller->start();
        const int status = QCoreApplication::exec();
        if (status != 0) {
            return status;
        }
    }
    controller.reset();
    return 0;
}

int runInTerminal(int argc, char** argv, const BridgeLaunchOptions& options) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnwick-bridge"));
    SingleInstance instance(SingleInstance::defaultDirectory());
    if (auto status = claimOrHandOver(instance, SingleInstance::FrontEnd::terminal)) {
        return *status;
    }
    UnixSignalWatcher stopSignals({SIGINT, SIGTERM, SIGHUP});
    stopOnSignals(stopSignals);

    std::unique_ptr<BridgeController> controller = makeApplicationController();
    const std::unique_ptr<BridgeControl> control = answerControlCommands(instance, *controller);
    QFile output;
    if (!output.open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        return 1;
    }
    TerminalWriter writer(output, TerminalWriter::colourSuits(STDOUT_FILENO));
    TerminalFrontEnd frontEnd(*controller, writer);
    PairingNotifier notifier(PairingNotifier::sessionBusIfAny(), false);
    const ApprovalParts approvals = approvalParts(*controller, options, &notifier, *control);
    frontEnd.setApprovalSettings(approvals.settings.get());
    LineReader input(STDIN_FILENO);
    QObject::connect(&input, &LineReader::lineRead, &frontEnd, &TerminalFrontEnd::handleLine);
    QObject::connect(&input, &LineReader::endOfInput, &frontEnd,
                     &TerminalFrontEnd::handleEndOfInput);
    QObject::connect(&frontEnd, &TerminalFrontEnd::quitRequested, &application,
                     &QCoreApplication::quit, Qt::QueuedConnection);
    QObject::connect(&instance, &SingleInstance::activationRequested, &frontEnd,
                     &TerminalFrontEnd::handleSecondLaunch);
    frontEnd.begin();
    controller->start();
    const int status = QCoreApplication::exec();
    frontEnd.setApprovalSettings(nullptr);
    // The controller goes first, while the application object still exists: its app-server
    // client stops the Codex child and waits for it.
    controller.reset();
    return status;
}

// The window front end's side of the program: the single instance, the controller, control
// commands and notifications, for the window module to use.
class ApplicationWindowHost : public WindowHost {
public:
    explicit ApplicationWindowHost(const BridgeLaunchOptions& options)
        : instance_(SingleInstance::defaultDirectory()), options_(options) {}

    std::optional<int> claim() override {
        if (auto status = claimOrHandOver(instance_, SingleInstance::FrontEnd::window)) {
            return status;
        }
        stopSignals_ = std::make_unique<UnixSignalWatcher>(
            std::initializer_list<int>{SIGINT, SIGTERM, SIGHUP});
        stopOnSignals(*stopSignals_);
        return std::nullopt;
    }
    BridgeController& controller() override {
        if (!controller_) {
            controller_ = makeApplicationController();
        }
        return *controller_;
    }
    void attach(std::function<void()> bringToFront) override {
        control_ = answerControlCommands(instance_, controller());
        QObject::connect(&instance_, &SingleInstance::activationRequested, &instance_,
                         bringToFront);
        notifier_ = std::make_unique<PairingNotifier>(PairingNotifier::sessionBusIfAny(), true);
        approvals_ = approvalParts(controller(), options_, notifier_.get(), *control_);
        QObject::connect(control_.get(), &BridgeControl::requestArrived, notifier_.get(),
                         &PairingNotifier::notify);
        QObject::connect(control_.get(), &BridgeControl::requestEnded, notifier_.get(),
                         &PairingNotifier::withdraw);
        QObject::connect(notifier_.get(), &PairingNotifier::activated, notifier_.get(),
                         std::move(bringToFront));
    }
    void printError(const QString& line) override { printLine(stderr, line); }
    QObject* approvalSettings() override { return approvals_.settings.get(); }
    void finish() override {
        approvals_ = {};
        notifier_.reset();
        control_.reset();
        // The client stops the Codex child and waits for it.
        controller_.reset();
    }

private:
    SingleInstance instance_;
    BridgeLaunchOptions options_;
    std::unique_ptr<UnixSignalWatcher> stopSignals_;
    std::unique_ptr<BridgeController> controller_;
    std::unique_ptr<BridgeControl> control_;
    std::unique_ptr<PairingNotifier> notifier_;
    ApprovalParts approvals_;
};

// Where the window module is: beside the program in the build, or in the program's own folder
// of the library folder once installed.
QString windowModulePath() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::filesystem::path folder = program.parent_path();
    const std::filesystem::path beside = folder / TARNWICK_WINDOW_MODULE_NAME;
    if (!error && std::filesystem::exists(beside, error)) {
        return QString::fromStdString(beside.string());
    }
    return QString::fromStdString(
        (folder / TARNWICK_WINDOW_MODULE_FROM_PROGRAM / TARNWICK_WINDOW_MODULE_NAME).string());
}

int runInWindow(int argc, char** argv, const BridgeLaunchOptions& options) {
    // Qt Quick and the graphics libraries come only with the window.
    QLibrary module(windowModulePath());
    module.setLoadHints(QLibrary::ResolveAllSymbolsHint);
    auto entry = reinterpret_cast<WindowEntry>(module.resolve(windowEntryName));
    if (!entry) {
        printLine(stderr, QStringLiteral("The window cannot be shown: ") + module.errorString());
        return 1;
    }
    ApplicationWindowHost host(options);
    return entry(argc, argv, host);
}

} // namespace

int runBridgeApplication(int argc, char** argv) {
    // A reader that goes away (a closed pipe, `| head`) must not kill the bridge mid-write and
    // leave its Codex child behind; the write fails instead.
    std::signal(SIGPIPE, SIG_IGN);
    QStringList arguments;
    for (int index = 1; index < argc; ++index) {
        arguments.append(QString::fromLocal8Bit(argv[index]));
    }
    const auto parsed =
        BridgeLaunchOptions::parse(arguments, BridgeLaunchOptions::environmentHasDisplay());
    if (const auto* complaint = std::get_if<QString>(&parsed)) {
        printLine(stderr, *complaint);
        return 2;
    }
    const auto& options = std::get<BridgeLaunchOptions>(parsed);
    switch (options.mode) {
    case BridgeLaunchOptions::Mode::help:
        std::fputs(BridgeLaunchOptions::usage().toLocal8Bit().constData(), stdout);
        return 0;
    case BridgeLaunchOptions::Mode::terminal:
        return runInTerminal(argc, argv, options);
    case BridgeLaunchOptions::Mode::window:
        return runInWindow(argc, argv, options);
    case BridgeLaunchOptions::Mode::service:
        return runAsService(argc, argv, options);
    case BridgeLaunchOptions::Mode::control:
        return runControl(argc, argv, std::get<BridgeLaunchOptions>(parsed).command);
    }
    return 1;
}

} // namespace tarnwick
