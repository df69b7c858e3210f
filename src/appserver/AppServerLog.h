#pragma once

#include <QLoggingCategory>

namespace tarnwick {

// Diagnostics of the app-server client, for developers
// (QT_LOGGING_RULES="tarnwick.appserver.debug=true"). The activity log is for users and is not
// written through it.
Q_DECLARE_LOGGING_CATEGORY(appServerLog)

} // namespace tarnwick
