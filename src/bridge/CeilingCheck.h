#pragma once

#include "bridge/CeilingFolders.h"
#include "bridge/CeilingRefusal.h"
#include "bridge/DeviceCeiling.h"
#include "bridge/LoadedThreads.h"
#include "json/JSONValue.h"
#include "platform/Expected.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// Holds the params of the app-server methods that say where and how Codex runs (thread/start,
// thread/resume, turn/start, turn/steer) to a ceiling. Each member is checked by what Codex
// reads it as: folders after following every link, sandbox and approval settings by their rank.
// What no device needs and could widen anything (a configuration map, permission profiles,
// extra writable roots, any member this check does not know) is refused. Settings the request
// leaves out are filled in from the ceiling where Codex's own default could lie above it.
class CeilingCheck {
public:
    using CanonicalFolder = CeilingFolders::CanonicalFolder;

    // `codexFolder`: where Codex works when a thread names no folder (the app-server's own).
    // `home`: the person's home folder, which holds their dot files: under the workspace-write
    // ceiling it is never a working folder itself, only the folders in it are.
    CeilingCheck(CanonicalFolder canonical, std::string codexFolder, std::string home = {});

    static bool governs(std::string_view method);

    // The params to send on (the request's own, with missing settings filled in), or why not.
    [[nodiscard]] Expected<JSONValue, CeilingRefusal>
    check(std::string_view method, JSONValue params, const DeviceCeiling& ceiling) const;

    // For a turn (turn/start, turn/steer, already checked) on a thread running with `thread`:
    // what the turn does not override must be within the ceiling too.
    [[nodiscard]] std::optional<CeilingRefusal>
    checkInherited(const JSONValue& params, const LoadedThreads::Settings& thread,
                   const DeviceCeiling& ceiling) const;

private:
    [[nodiscard]] std::optional<CeilingRefusal>
    checkSandboxPolicy(JSONObject& policy, const DeviceCeiling& ceiling) const;
    void fillThreadDefaults(JSONObject& params, const DeviceCeiling& ceiling, bool resuming) const;

    CeilingFolders folders_;
};

} // namespace tarnwick
