#pragma once

#include <string>

namespace tarnwick {

// A failure of the operating system, with the system's own description of it.
struct PlatformError {
    std::string description;
};

} // namespace tarnwick
