#include "bridge/BridgeAssembly.h"
#include "ui/BridgeApplication.h"

namespace tarnwick {

std::unique_ptr<BridgeController> makeApplicationController() {
    return makeBridgeController();
}

} // namespace tarnwick
