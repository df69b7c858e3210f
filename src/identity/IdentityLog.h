#pragma once

#include <QLoggingCategory>

namespace tarnwick {

// Diagnostics of the identity subsystem. Never carries key material.
Q_DECLARE_LOGGING_CATEGORY(identityLog)

} // namespace tarnwick
