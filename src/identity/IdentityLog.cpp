#include "identity/IdentityLog.h"

namespace tarnwick {

Q_LOGGING_CATEGORY(identityLog, "tarnwick.identity")

} // namespace tarnwick
