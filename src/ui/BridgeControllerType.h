#pragma once

#include "bridge/BridgeController.h"

#include <QObject>
#include <QtQml/qqml.h>

namespace tarnwick {

// Makes the controller known to the window's QML by name; the application makes the one
// instance and hands it to the window.
struct BridgeControllerType {
    Q_GADGET
    QML_FOREIGN(tarnwick::BridgeController)
    QML_NAMED_ELEMENT(BridgeController)
    QML_UNCREATABLE("The application makes the one controller.")
};

} // namespace tarnwick
