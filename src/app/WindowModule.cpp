// The window module: the window front end, loaded by the program only when it shows a window.
#include "app/WindowHost.h"
#include "ui/BridgeWindow.h"

#include <QGuiApplication>
#include <QIcon>
#include <QPointer>
#include <QtQml/QQmlExtensionPlugin>

Q_IMPORT_QML_PLUGIN(TarnwickBridgePlugin)

extern "C" Q_DECL_EXPORT int tarnwickRunWindow(int argc, char** argv, tarnwick::WindowHost& host) {
    using tarnwick::BridgeWindow;
    QGuiApplication application(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("tarnwick-bridge"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Tarnwick Bridge"));
    QGuiApplication::setDesktopFileName(QStringLiteral("tarnwick-bridge"));
    QGuiApplication::setWindowIcon(
        QIcon::fromTheme(QStringLiteral("tarnwick-bridge"),
                         QIcon(QStringLiteral(":/TarnwickBridge/icons/tarnwick-bridge.svg"))));
    if (std::optional<int> status = host.claim()) {
        return *status;
    }
    int status = 1;
    {
        BridgeWindow window(host.controller());
        host.attach([window = QPointer<BridgeWindow>(&window)] {
            if (window) {
                window->bringToFront();
            }
        });
        window.setApprovalSettings(host.approvalSettings());
        if (window.load()) {
            window.show();
            status = QGuiApplication::exec();
        } else {
            for (const QString& error : window.errors()) {
                host.printError(error);
            }
        }
    }
    // The controller outlives the window that shows it.
    host.finish();
    return status;
}
