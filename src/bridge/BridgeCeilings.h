#pragma once

#include "bridge/CeilingCheck.h"
#include "bridge/DeviceCeiling.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// What the controller uses of the ceilings kept on this computer, and of its folders.
class BridgeCeilings {
public:
    virtual ~BridgeCeilings() = default;
    virtual CeilingBook load() const = 0;
    [[nodiscard]] virtual Expected<void, Error> save(const CeilingBook& book) = 0;
    // Where Codex works when a thread names no folder: the app-server's own folder.
    virtual std::string codexFolder() const = 0;
    // The person's home folder: its dot files are not given away with it (CeilingCheck).
    virtual std::string homeFolder() const { return {}; }
    virtual std::optional<std::string> canonicalFolder(std::string_view path) const {
        return canonicalFolderOnDisk(path);
    }
};

} // namespace tarnwick
