#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// Where the bridge looks for the `codex` executable, in this order:
//   1. /opt/homebrew/bin/codex, /usr/local/bin/codex;
//   2. every folder of PATH, in order;
//   3. the places npm installs put it for a user whose PATH the bridge did not inherit (a
//      bridge started from the desktop or at login has no shell profile behind it):
//      the `prefix=` of ~/.npmrc followed by /bin, ~/.npm-global/bin, every
//      ~/.nvm/versions/node/*/bin with the newest Node version first, ~/.volta/bin,
//      ~/.local/bin, and last /usr/bin.
// The first file that the user may execute wins.
class CodexExecutableSearch {
public:
    static const std::vector<std::string>& fixedLocations();

    // The candidate paths for a PATH value (nothing when PATH is not set). Each non-empty piece
    // of PATH gives the piece followed by "/codex", as text: no normalising, no removal of
    // duplicates.
    static std::vector<std::string>
    candidates(std::optional<std::string_view> pathVariable,
               const std::vector<std::string>& fixed = fixedLocations());

    // The candidates of step 3 for the user whose home is `home`. Reads ~/.npmrc (its first
    // 64 KiB) and lists ~/.nvm/versions/node; a missing file or folder adds nothing.
    static std::vector<std::string> userCandidates(const std::string& home);

    // The whole order above for this PATH value and home.
    static std::vector<std::string> searchOrder(std::optional<std::string_view> pathVariable,
                                                const std::string& home);

    // The folder named by the last `prefix=` line of an npmrc text, with a leading "~/" or
    // "${HOME}" put in terms of `home`; absent when no line sets a prefix.
    static std::optional<std::string> npmPrefix(std::string_view npmrc, const std::string& home);

    // Node version folder names ("v20.11.1", "v9.0.0") ordered newest first, by comparing
    // their numbers as numbers; names that are not versions come last, in name order.
    static std::vector<std::string> newestVersionsFirst(std::vector<std::string> names);

    // The first candidate that is a file (after following links, not a folder) which the user
    // may execute.
    static std::optional<std::string> firstExecutable(const std::vector<std::string>& candidates);

    // The search of this process: its PATH and its user's home.
    static std::optional<std::string> find();
};

} // namespace tarnwick
