#include "identity/IdentityLog.h"

namespace tarnwick {

Q_LOGGING_CATEGORY(identityLog, "tarnwick.identity", QtInfoMsg)

} // namespace tarnwick
