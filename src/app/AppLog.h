#pragma once

#include <QLoggingCategory>

namespace tarnwick {

// Diagnostics of the application's assembly and entry, for developers
// (QT_LOGGING_RULES="tarnwick.app.debug=true"). The activity log is for users and is not written
// through it.
Q_DECLARE_LOGGING_CATEGORY(appLog)

} // namespace tarnwick
