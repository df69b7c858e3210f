#pragma once

#include "bridge/CeilingRefusal.h"
#include "bridge/DeviceCeiling.h"
#include "json/JSONValue.h"
#include "platform/Expected.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// The folders a ceiling lets devices work in: its roots and the folders in them, judged by the
// real folder a path names once every link is followed, never a dot-folder, and under the
// workspace-write ceiling never the home folder itself.
class CeilingFolders {
public:
    // The real folder a path names once every link, `.` and `..` is resolved; nothing when it
    // does not exist.
    using CanonicalFolder = std::function<std::optional<std::string>(std::string_view path)>;

    // `codexFolder`: where Codex works when a thread names no folder (the app-server's own).
    // `home`: the person's home folder, which holds their dot files.
    CeilingFolders(CanonicalFolder canonical, std::string codexFolder, std::string home = {});

    // The real folder `value` names, when it is an absolute path within the ceiling; `setting`
    // names the member it came from.
    [[nodiscard]] Expected<std::string, CeilingRefusal>
    within(std::string_view setting, const JSONValue& value, const DeviceCeiling& ceiling) const;
    // Whether a folder (any path; it is resolved first) is within the ceiling.
    bool allows(std::string_view path, const DeviceCeiling& ceiling) const;
    // Where a thread that names no folder works: nothing when Codex's own folder is within the
    // ceiling, else the first root that is there; refused when there is none.
    [[nodiscard]] Expected<std::optional<std::string>, CeilingRefusal>
    forThreadWithoutFolder(const DeviceCeiling& ceiling) const;

    // What a device is told about the folders a ceiling allows.
    static std::string rootsText(const DeviceCeiling& ceiling);

private:
    bool allowsCanonical(std::string_view canonicalPath, const DeviceCeiling& ceiling) const;

    CanonicalFolder canonical_;
    std::string codexFolder_;
    std::string home_;
};

// A CanonicalFolder that asks the file system (realpath), for folders only.
std::optional<std::string> canonicalFolderOnDisk(std::string_view path);

} // namespace tarnwick
