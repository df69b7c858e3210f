#include "bridge/BridgeLog.h"

namespace tarnwick {

Q_LOGGING_CATEGORY(bridgeLog, "tarnwick.bridge")

} // namespace tarnwick
