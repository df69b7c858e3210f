#pragma once

#include <string>

namespace tarnwick {

// Why an identity could not be made or used, or why a hello could not be read or signed.
struct IdentityError {
    std::string description;

    friend bool operator==(const IdentityError&, const IdentityError&) = default;
};

} // namespace tarnwick
