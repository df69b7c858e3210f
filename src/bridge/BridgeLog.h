#pragma once

#include <QLoggingCategory>

namespace tarnwick {

// Diagnostics of the controller, for developers (QT_LOGGING_RULES="tarnwick.bridge.debug=true").
// The activity log is for users and is not written through it.
Q_DECLARE_LOGGING_CATEGORY(bridgeLog)

} // namespace tarnwick
