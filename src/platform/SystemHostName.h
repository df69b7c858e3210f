#pragma once

#include "platform/HostNameService.h"

#include <string>

namespace tarnwick {

// The computer's name: the pretty host name from machine-info when set, else the host name.
class SystemHostName : public HostNameService {
public:
    explicit SystemHostName(std::string machineInfoPath = "/etc/machine-info");
    std::optional<std::string> localizedName() const override;

    // PRETTY_HOSTNAME from the text of a machine-info file, unquoted, when present and not empty.
    static std::optional<std::string> prettyHostName(const std::string& machineInfo);

private:
    std::string machineInfoPath_;
};

} // namespace tarnwick
