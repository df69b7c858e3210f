#pragma once

#include <string>

namespace tarnwick {

// A failure of the operating system, with the system's own description of it.
struct PlatformError {
    std::string description;
    // The errno of the failed system call; 0 when the failure did not come from one.
    int code = 0;
};

} // namespace tarnwick
