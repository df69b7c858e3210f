#include "app/BridgeApplication.h"
#include "app/BridgeAssembly.h"

namespace tarnwick {

std::unique_ptr<BridgeController> makeApplicationController() {
    return makeBridgeController();
}

} // namespace tarnwick
