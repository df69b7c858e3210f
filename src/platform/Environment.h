#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// The value of one variable of this process's environment, if it is set.
std::optional<std::string> environmentVariable(std::string_view name);

// This process's whole environment as NAME=value entries, in the order the system keeps them.
std::vector<std::string> currentEnvironment();

// The current user's home directory: HOME when it is set and not empty, otherwise the home
// directory of the user database entry, otherwise "/".
std::string homeDirectory();

} // namespace tarnwick
