#include "platform/AutostartEntry.h"

#include "platform/AtomicFile.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tarnwick {

AutostartEntry::AutostartEntry(std::string entryPath, std::string executable)
    : entryPath_(std::move(entryPath)), executable_(std::move(executable)) {}

std::string AutostartEntry::defaultEntryPath() {
    std::string config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
        config = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        config = std::string(home) + "/.config";
    } else {
        config = ".config";
    }
    return config + "/autostart/tarnwick-bridge.desktop";
}

int AutostartEntry::status() const {
    std::ifstream entry(entryPath_);
    if (!entry) {
        return 0;
    }
    std::string line;
    while (std::getline(entry, line)) {
        if (line == "Hidden=true") {
            return 0;
        }
    }
    return enabled;
}

std::string AutostartEntry::entryText(const std::string& executable) {
    // Inside the quotes of an Exec key, '"', '`', '$' and '\' take a backslash; the whole value
    // is then a desktop-entry string, in which a backslash is written twice, and '%' introduces
    // field codes, so it is doubled too.
    std::string quoted = "\"";
    for (char c : executable) {
        if (c == '"' || c == '`' || c == '$') {
            quoted += "\\\\";
            quoted += c;
        } else if (c == '\\') {
            quoted += "\\\\\\\\";
        } else if (c == '%') {
            quoted += "%%";
        } else {
            quoted += c;
        }
    }
    quoted += '"';
    std::ostringstream text;
    text << "[Desktop Entry]\n"
         << "Type=Application\n"
         << "Name=Tarnwick Bridge\n"
         << "Comment=Lets your paired devices drive the Codex CLI on this computer\n"
         << "Exec=" << quoted << "\n"
         << "Icon=tarnwick-bridge\n"
         << "Terminal=false\n"
         << "X-GNOME-Autostart-enabled=true\n";
    return text.str();
}

Expected<void, PlatformError> AutostartEntry::registerApplication() {
    return writeFileAtomically(entryPath_, entryText(executable_), 0644, 0755);
}

Expected<void, PlatformError> AutostartEntry::unregisterApplication() {
    if (::unlink(entryPath_.c_str()) != 0 && errno != ENOENT) {
        return Unexpected(PlatformError{std::strerror(errno)});
    }
    return {};
}

} // namespace tarnwick
