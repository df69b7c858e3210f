// The main of the window tests: a GUI application drawn off screen by Qt Quick's software
// renderer, in US English and UTC so that dates read the same on every machine.
#include <QGuiApplication>
#include <QLocale>
#include <QtQml/QQmlExtensionPlugin>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

Q_IMPORT_QML_PLUGIN(TarnwickBridgePlugin)

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    qputenv("QT_QUICK_BACKEND", "software");
    qputenv("TZ", "UTC");
    tzset();
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    QGuiApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
