#pragma once

#include <functional>
#include <string>

namespace tarnwick {

// Adds one line to the activity log the user reads (newest first, bounded); the controller's
// parts get it from the controller, which owns the log. Developer diagnostics go to bridgeLog.
using ActivityLog = std::function<void(std::string line)>;

} // namespace tarnwick
