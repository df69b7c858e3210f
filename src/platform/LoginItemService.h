#pragma once

#include "platform/Expected.h"
#include "platform/PlatformError.h"

namespace tarnwick {

// Registration of the bridge as an application started at login.
class LoginItemService {
public:
    static constexpr int enabled = 1;

    virtual ~LoginItemService() = default;
    // The registration status; `enabled` when the bridge starts at login.
    virtual int status() const = 0;
    virtual Expected<void, PlatformError> registerApplication() = 0;
    virtual Expected<void, PlatformError> unregisterApplication() = 0;
};

} // namespace tarnwick
