#include "appserver/AppServerLog.h"

namespace tarnwick {

Q_LOGGING_CATEGORY(appServerLog, "tarnwick.appserver", QtInfoMsg)

} // namespace tarnwick
