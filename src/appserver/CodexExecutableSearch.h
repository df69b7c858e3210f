#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// Where the bridge looks for the `codex` executable: two fixed folders first, then every
// folder of PATH, in order.
class CodexExecutableSearch {
public:
    static const std::vector<std::string>& fixedLocations();

    // The candidate paths for a PATH value (nothing when PATH is not set). Each non-empty piece
    // of PATH gives the piece followed by "/codex", as text: no normalising, no removal of
    // duplicates.
    static std::vector<std::string>
    candidates(std::optional<std::string_view> pathVariable,
               const std::vector<std::string>& fixed = fixedLocations());

    // The first candidate that is a file (after following links, not a folder) which the user
    // may execute.
    static std::optional<std::string> firstExecutable(const std::vector<std::string>& candidates);
};

} // namespace tarnwick
