#pragma once

#include <QLoggingCategory>

namespace tarnwick {

// Diagnostics of the window and the terminal front end, for developers
// (QT_LOGGING_RULES="tarnwick.ui.debug=true"). The activity log is for users and is not written
// through it.
Q_DECLARE_LOGGING_CATEGORY(uiLog)

} // namespace tarnwick
