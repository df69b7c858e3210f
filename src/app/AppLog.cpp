#include "app/AppLog.h"

namespace tarnwick {

Q_LOGGING_CATEGORY(appLog, "tarnwick.app", QtInfoMsg)

} // namespace tarnwick
