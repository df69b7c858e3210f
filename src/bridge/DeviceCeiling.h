#pragma once

#include "json/JSONValue.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// How far Codex's sandbox may open, narrowest first.
enum class SandboxLevel { readOnly, workspaceWrite, dangerFullAccess };

// Codex's own name of the level: "read-only", "workspace-write", "danger-full-access".
std::string_view sandboxModeName(SandboxLevel level);
std::optional<SandboxLevel> sandboxLevelFromMode(std::string_view mode);

// The most a device may ask Codex to do, set on this computer and never by a device. A
// default-made ceiling allows the least: read-only, approvals kept, no network, no folder.
struct DeviceCeiling {
    SandboxLevel sandbox = SandboxLevel::readOnly;
    // Whether a device may turn approvals off (policy "never") rather than choose among the
    // asking policies.
    bool approvalNever = false;
    // Whether commands in the sandbox may reach the network.
    bool networkAccess = false;
    // Absolute folders a device may work in: each one and the folders below it, except those
    // whose path below the root has a part beginning with a dot.
    std::vector<std::string> roots;

    // What keeps a stolen or relayed session inside the sandbox: workspace-write at most, no
    // network, approvals kept, the home folder alone as root.
    static DeviceCeiling standard(std::string home);
    // Both ceilings at once: the narrower of each setting, and only those of `lower`'s roots
    // that lie in one of this one's.
    DeviceCeiling meet(const DeviceCeiling& lower) const;
    // `{"sandbox":…,"approvalNever":…,"networkAccess":…,"roots":[…]}`, as devices learn it.
    JSONValue toJSON() const;
    // The ceiling `toJSON` gave; nothing when a member is missing or of another kind, or a
    // root is not an absolute path.
    static std::optional<DeviceCeiling> fromJSON(const JSONValue& value);
    // One line for people: "at most workspace-write, approvals kept, no network, in /home/alice".
    std::string summary() const;

    friend bool operator==(const DeviceCeiling&, const DeviceCeiling&) = default;
};

// The ceiling for every device and the lower ones some devices were given, by device ID.
struct CeilingBook {
    DeviceCeiling everyDevice;
    std::map<std::string, DeviceCeiling> devices;

    // What holds for one device: its own ceiling, never above the one for every device.
    DeviceCeiling effectiveFor(std::string_view deviceID) const;

    friend bool operator==(const CeilingBook&, const CeilingBook&) = default;
};

// Whether `path` (absolute, without `.` or `..` parts) is `root` or lies below it.
bool folderIsWithin(std::string_view path, std::string_view root);

} // namespace tarnwick
