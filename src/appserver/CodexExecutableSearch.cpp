#include "appserver/CodexExecutableSearch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarnwick {

const std::vector<std::string>& CodexExecutableSearch::fixedLocations() {
    static const std::vector<std::string> locations{"/opt/homebrew/bin/codex",
                                                    "/usr/local/bin/codex"};
    return locations;
}

std::vector<std::string>
CodexExecutableSearch::candidates(std::optional<std::string_view> pathVariable,
                                  const std::vector<std::string>& fixed) {
    std::vector<std::string> result = fixed;
    if (!pathVariable) {
        return result;
    }
    std::string_view rest = *pathVariable;
    for (;;) {
        std::size_t colon = rest.find(':');
        std::string_view piece = rest.substr(0, colon);
        if (!piece.empty()) {
            result.push_back(std::string(piece) + "/codex");
        }
        if (colon == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(colon + 1);
    }
    return result;
}

std::optional<std::string>
CodexExecutableSearch::firstExecutable(const std::vector<std::string>& candidates) {
    for (const std::string& candidate : candidates) {
        struct stat info {};
        if (::stat(candidate.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) {
            continue;
        }
        if (::faccessat(AT_FDCWD, candidate.c_str(), X_OK, AT_EACCESS) == 0) {
            return candidate;
        }
    }
    return std::nullopt;
}

} // namespace tarnwick
