#include "app/BridgeApplication.h"

#include <QtQml/QQmlExtensionPlugin>

Q_IMPORT_QML_PLUGIN(TarnwickBridgePlugin)

int main(int argc, char** argv) {
    return tarnwick::runBridgeApplication(argc, argv);
}
