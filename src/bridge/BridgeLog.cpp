#include "bridge/BridgeLog.h"

namespace tarnwick {

Q_LOGGING_CATEGORY(bridgeLog, "tarnwick.bridge", QtInfoMsg)

} // namespace tarnwick
