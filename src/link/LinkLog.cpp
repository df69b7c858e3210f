#include "link/LinkLog.h"

namespace tarnwick {

Q_LOGGING_CATEGORY(linkLog, "tarnwick.link")

} // namespace tarnwick
