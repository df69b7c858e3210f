#include "device/DeviceLog.h"

namespace tarnwick {

Q_LOGGING_CATEGORY(deviceLog, "tarnwick.device", QtInfoMsg)

} // namespace tarnwick
