#include "identity/UserDefaults.h"

namespace tarnwick {

std::unique_ptr<QSettings> openUserDefaults() {
    return std::make_unique<QSettings>(QStringLiteral("tarnwick"),
                                       QStringLiteral("tarnwick-bridge"));
}

} // namespace tarnwick
