#pragma once

#include <QLoggingCategory>

namespace tarnwick {

// Diagnostics of the device end of the protocol, for developers
// (QT_LOGGING_RULES="tarnwick.device.debug=true"). The activity log is for users and is not written
// through it.
Q_DECLARE_LOGGING_CATEGORY(deviceLog)

} // namespace tarnwick
