#pragma once

#include <string>

namespace tarnwick {

// A failure of the peer link, with the text that status lines and logs show.
struct LinkError {
    std::string description;
};

} // namespace tarnwick
