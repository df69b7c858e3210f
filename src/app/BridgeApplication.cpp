#include "app/BridgeApplication.h"

#include "app/LaunchOptions.h"
#include "app/SingleInstance.h"
#include "app/UnixSignalWatcher.h"
#include "bridge/BridgeController.h"
#include "ui/BridgeWindow.h"
#include "ui/LineReader.h"
#include "ui/TerminalFrontEnd.h"
#include "ui/TerminalWriter.h"

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QQuickWindow>
#include <QTextStream>

#include <unistd.h>

#include <csignal>
#include <cstdio>
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
    printLine(stdout, *running == SingleInstance::FrontEnd::window
                          ? QStringLiteral("Tarnwick Bridge is already running; its window was "
                                           "brought to the front.")
                          : QStringLiteral("Tarnwick Bridge is already running in a terminal; "
                                           "this launch stops."));
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

int runInTerminal(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnwick-bridge"));
    SingleInstance instance(SingleInstance::defaultDirectory());
    if (auto status = claimOrHandOver(instance, SingleInstance::FrontEnd::terminal)) {
        return *status;
    }
    UnixSignalWatcher stopSignals({SIGINT, SIGTERM, SIGHUP});
    stopOnSignals(stopSignals);

    std::unique_ptr<BridgeController> controller = makeApplicationController();
    QFile output;
    if (!output.open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        return 1;
    }
    TerminalWriter writer(output, TerminalWriter::colourSuits(STDOUT_FILENO));
    TerminalFrontEnd frontEnd(*controller, writer);
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
    // The controller goes first, while the application object still exists: its app-server
    // client stops the Codex child and waits for it.
    controller.reset();
    return status;
}

int runInWindow(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("tarnwick-bridge"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Tarnwick Bridge"));
    QGuiApplication::setDesktopFileName(QStringLiteral("tarnwick-bridge"));
    QGuiApplication::setWindowIcon(
        QIcon::fromTheme(QStringLiteral("tarnwick-bridge"),
                         QIcon(QStringLiteral(":/TarnwickBridge/icons/tarnwick-bridge.svg"))));
    SingleInstance instance(SingleInstance::defaultDirectory());
    if (auto status = claimOrHandOver(instance, SingleInstance::FrontEnd::window)) {
        return *status;
    }
    UnixSignalWatcher stopSignals({SIGINT, SIGTERM, SIGHUP});
    stopOnSignals(stopSignals);

    std::unique_ptr<BridgeController> controller = makeApplicationController();
    int status = 1;
    {
        BridgeWindow window(*controller);
        if (!window.load()) {
            for (const QString& error : window.errors()) {
                printLine(stderr, error);
            }
            return 1;
        }
        QObject::connect(&instance, &SingleInstance::activationRequested, &window,
                         &BridgeWindow::bringToFront);
        window.show();
        status = QGuiApplication::exec();
    }
    controller.reset();
    return status;
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
    const auto parsed = LaunchOptions::parse(arguments, LaunchOptions::environmentHasDisplay());
    if (const auto* complaint = std::get_if<QString>(&parsed)) {
        printLine(stderr, *complaint);
        return 2;
    }
    switch (std::get<LaunchOptions>(parsed).mode) {
    case LaunchOptions::Mode::help:
        std::fputs(LaunchOptions::usage().toLocal8Bit().constData(), stdout);
        return 0;
    case LaunchOptions::Mode::terminal:
        return runInTerminal(argc, argv);
    case LaunchOptions::Mode::window:
        return runInWindow(argc, argv);
    }
    return 1;
}

} // namespace tarnwick
