#include "link/LinkLog.h"

namespace tarnwick {

Q_LOGGING_CATEGORY(linkLog, "tarnwick.link", QtInfoMsg)

} // namespace tarnwick
