#include "appserver/CodexExecutableSearch.h"

#include "platform/Environment.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>

namespace tarnwick {

namespace {

constexpr std::size_t maxNpmrcBytes = 64 * 1024;
// A home with more Node versions than this is not worth a longer start.
constexpr std::size_t maxNodeVersions = 256;

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// "v20.11.1" as {20, 11, 1}; absent for anything else.
std::optional<std::vector<unsigned long>> versionNumbers(std::string_view name) {
    if (name.size() < 2 || name.front() != 'v') {
        return std::nullopt;
    }
    name.remove_prefix(1);
    std::vector<unsigned long> numbers;
    while (true) {
        unsigned long number = 0;
        const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), number);
        if (error != std::errc() || end == name.data()) {
            return std::nullopt;
        }
        numbers.push_back(number);
        name.remove_prefix(static_cast<std::size_t>(end - name.data()));
        if (name.empty()) {
            return numbers;
        }
        if (name.front() != '.') {
            return std::nullopt;
        }
        name.remove_prefix(1);
    }
}

std::string readStart(const std::string& path, std::size_t limit) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return {};
    }
    std::string text(limit, '\0');
    file.read(text.data(), static_cast<std::streamsize>(limit));
    text.resize(static_cast<std::size_t>(std::max<std::streamsize>(0, file.gcount())));
    return text;
}

std::vector<std::string> nodeVersionFolders(const std::string& versions) {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(versions, error), end;
         !error && entry != end && names.size() < maxNodeVersions; entry.increment(error)) {
        names.push_back(entry->path().filename().string());
    }
    return names;
}

} // namespace

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

std::optional<std::string> CodexExecutableSearch::npmPrefix(std::string_view npmrc,
                                                            const std::string& home) {
    std::optional<std::string> prefix;
    while (!npmrc.empty()) {
        const auto newline = npmrc.find('\n');
        const std::string_view line = trimmed(npmrc.substr(0, newline));
        npmrc.remove_prefix(newline == std::string_view::npos ? npmrc.size() : newline + 1);
        const auto equals = line.find('=');
        if (line.empty() || line.front() == '#' || line.front() == ';' ||
            equals == std::string_view::npos || trimmed(line.substr(0, equals)) != "prefix") {
            continue;
        }
        std::string_view value = trimmed(line.substr(equals + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        if (value.empty()) {
            continue;
        }
        prefix = std::string(value);
        for (std::string_view homeWord :
             {std::string_view("~"), std::string_view("${HOME}"), std::string_view("$HOME")}) {
            if (value == homeWord ||
                (value.starts_with(homeWord) && value.substr(homeWord.size()).starts_with('/'))) {
                prefix = home + std::string(value.substr(homeWord.size()));
                break;
            }
        }
    }
    // A relative prefix would depend on the folder the bridge was started in: not used.
    if (prefix && !prefix->starts_with('/')) {
        return std::nullopt;
    }
    return prefix;
}

std::vector<std::string>
CodexExecutableSearch::newestVersionsFirst(std::vector<std::string> names) {
    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        const auto first = versionNumbers(a);
        const auto second = versionNumbers(b);
        if (first && second) {
            return *first > *second;
        }
        if (first || second) {
            return first.has_value();
        }
        return a < b;
    });
    return names;
}

std::vector<std::string> CodexExecutableSearch::userCandidates(const std::string& home) {
    std::vector<std::string> result;
    if (auto prefix = npmPrefix(readStart(home + "/.npmrc", maxNpmrcBytes), home)) {
        result.push_back(*prefix + "/bin/codex");
    }
    result.push_back(home + "/.npm-global/bin/codex");
    const std::string versions = home + "/.nvm/versions/node";
    for (const std::string& version : newestVersionsFirst(nodeVersionFolders(versions))) {
        result.push_back(versions + "/" + version + "/bin/codex");
    }
    result.push_back(home + "/.volta/bin/codex");
    result.push_back(home + "/.local/bin/codex");
    result.push_back("/usr/bin/codex");
    return result;
}

std::vector<std::string>
CodexExecutableSearch::searchOrder(std::optional<std::string_view> pathVariable,
                                   const std::string& home) {
    std::vector<std::string> result = candidates(pathVariable);
    std::vector<std::string> user = userCandidates(home);
    result.insert(result.end(), user.begin(), user.end());
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

std::optional<std::string> CodexExecutableSearch::find() {
    return firstExecutable(searchOrder(environmentVariable("PATH"), homeDirectory()));
}

} // namespace tarnwick
