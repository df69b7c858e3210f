#pragma once

#include <optional>
#include <string>

namespace tarnwick {

// The computer's name as people know it, when the system has one.
class HostNameService {
public:
    virtual ~HostNameService() = default;
    virtual std::optional<std::string> localizedName() const = 0;
};

} // namespace tarnwick
