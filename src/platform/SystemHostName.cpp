#include "platform/SystemHostName.h"

#include <unistd.h>

#include <climits>
#include <fstream>
#include <sstream>

namespace tarnwick {

SystemHostName::SystemHostName(std::string machineInfoPath)
    : machineInfoPath_(std::move(machineInfoPath)) {}

std::optional<std::string> SystemHostName::prettyHostName(const std::string& machineInfo) {
    std::istringstream lines(machineInfo);
    std::string line;
    std::optional<std::string> found;
    constexpr std::string_view key = "PRETTY_HOSTNAME=";
    while (std::getline(lines, line)) {
        if (line.rfind(key, 0) != 0) {
            continue;
        }
        std::string value = line.substr(key.size());
        // The file is shell-like: a value may be quoted, and may escape within double quotes.
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            const char quote = value.front();
            std::string unquoted;
            for (std::size_t i = 1; i + 1 < value.size(); ++i) {
                if (quote == '"' && value[i] == '\\' && i + 2 < value.size()) {
                    ++i;
                }
                unquoted += value[i];
            }
            value = unquoted;
        }
        found = value;
    }
    if (found && found->empty()) {
        return std::nullopt;
    }
    return found;
}

std::optional<std::string> SystemHostName::localizedName() const {
    std::ifstream file(machineInfoPath_);
    if (file) {
        std::stringstream text;
        text << file.rdbuf();
        if (auto pretty = prettyHostName(text.str())) {
            return pretty;
        }
    }
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') {
        return std::string(name);
    }
    return std::nullopt;
}

} // namespace tarnwick
