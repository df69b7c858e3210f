#pragma once

#include <QLoggingCategory>

namespace tarnwick {

// Diagnostics of the peer link, for developers (QT_LOGGING_RULES="tarnwick.link.debug=true"). The
// activity log is for users and is not written through it.
Q_DECLARE_LOGGING_CATEGORY(linkLog)

} // namespace tarnwick
