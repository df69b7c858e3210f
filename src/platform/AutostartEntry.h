#pragma once

#include "platform/LoginItemService.h"

#include <string>

namespace tarnwick {

// Launch at login through the XDG autostart folder: the bridge starts at login when its
// desktop entry is there and not hidden.
class AutostartEntry : public LoginItemService {
public:
    // `entryPath` is the desktop entry to write; `executable` the absolute path it starts.
    AutostartEntry(std::string entryPath, std::string executable);

    // ${XDG_CONFIG_HOME:-$HOME/.config}/autostart/tarnwick-bridge.desktop
    static std::string defaultEntryPath();

    int status() const override;
    Expected<void, PlatformError> registerApplication() override;
    Expected<void, PlatformError> unregisterApplication() override;

    // The entry's text for an executable path, quoted as desktop entries require.
    static std::string entryText(const std::string& executable);

private:
    std::string entryPath_;
    std::string executable_;
};

} // namespace tarnwick
