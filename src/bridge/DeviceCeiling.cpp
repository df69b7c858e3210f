#include "bridge/DeviceCeiling.h"

#include <algorithm>
#include <array>
#include <utility>

namespace tarnwick {

namespace {

constexpr std::array<std::pair<SandboxLevel, std::string_view>, 3> modeNames = {{
    {SandboxLevel::readOnly, "read-only"},
    {SandboxLevel::workspaceWrite, "workspace-write"},
    {SandboxLevel::dangerFullAccess, "danger-full-access"},
}};

bool withinAny(std::string_view path, const std::vector<std::string>& roots) {
    return std::any_of(roots.begin(), roots.end(),
                       [&](const std::string& root) { return folderIsWithin(path, root); });
}

} // namespace

std::string_view sandboxModeName(SandboxLevel level) {
    for (const auto& [each, name] : modeNames) {
        if (each == level) {
            return name;
        }
    }
    return "read-only";
}

std::optional<SandboxLevel> sandboxLevelFromMode(std::string_view mode) {
    for (const auto& [level, name] : modeNames) {
        if (name == mode) {
            return level;
        }
    }
    return std::nullopt;
}

DeviceCeiling DeviceCeiling::standard(std::string home) {
    return DeviceCeiling{SandboxLevel::workspaceWrite, false, false, {std::move(home)}};
}

DeviceCeiling DeviceCeiling::meet(const DeviceCeiling& lower) const {
    DeviceCeiling both{std::min(sandbox, lower.sandbox),
                       approvalNever && lower.approvalNever,
                       networkAccess && lower.networkAccess,
                       {}};
    for (const std::string& root : lower.roots) {
        if (withinAny(root, roots)) {
            both.roots.push_back(root);
        }
    }
    return both;
}

JSONValue DeviceCeiling::toJSON() const {
    JSONArray shownRoots;
    for (const std::string& root : roots) {
        shownRoots.emplace_back(root);
    }
    return JSONValue(JSONObject{{"sandbox", JSONValue(sandboxModeName(sandbox))},
                                {"approvalNever", JSONValue(approvalNever)},
                                {"networkAccess", JSONValue(networkAccess)},
                                {"roots", JSONValue(std::move(shownRoots))}});
}

std::optional<DeviceCeiling> DeviceCeiling::fromJSON(const JSONValue& value) {
    const JSONValue* sandbox = value.member("sandbox");
    const JSONValue* approvalNever = value.member("approvalNever");
    const JSONValue* networkAccess = value.member("networkAccess");
    const JSONValue* roots = value.member("roots");
    const std::string* mode = sandbox ? sandbox->stringValue() : nullptr;
    auto level = mode ? sandboxLevelFromMode(*mode) : std::nullopt;
    auto never = approvalNever ? approvalNever->boolValue() : std::nullopt;
    auto network = networkAccess ? networkAccess->boolValue() : std::nullopt;
    const JSONArray* folders = roots ? roots->arrayValue() : nullptr;
    if (!level || !never || !network || !folders) {
        return std::nullopt;
    }
    DeviceCeiling ceiling{*level, *never, *network, {}};
    for (const JSONValue& folder : *folders) {
        const std::string* path = folder.stringValue();
        if (!path || !path->starts_with('/')) {
            return std::nullopt;
        }
        ceiling.roots.push_back(*path);
    }
    return ceiling;
}

std::string DeviceCeiling::summary() const {
    std::string text = "at most " + std::string(sandboxModeName(sandbox)) +
                       (approvalNever ? ", approvals may be turned off" : ", approvals kept") +
                       (networkAccess ? ", network allowed" : ", no network") + ", in ";
    if (roots.empty()) {
        return text + "no folder";
    }
    for (std::size_t i = 0; i < roots.size(); ++i) {
        text += (i == 0 ? "" : ", ") + roots[i];
    }
    return text;
}

DeviceCeiling CeilingBook::effectiveFor(std::string_view deviceID) const {
    auto own = devices.find(std::string(deviceID));
    return own == devices.end() ? everyDevice : everyDevice.meet(own->second);
}

bool folderIsWithin(std::string_view path, std::string_view root) {
    while (root.size() > 1 && root.back() == '/') {
        root.remove_suffix(1);
    }
    if (root == "/") {
        return path.starts_with('/');
    }
    return path.starts_with(root) && (path.size() == root.size() || path[root.size()] == '/');
}

} // namespace tarnwick
