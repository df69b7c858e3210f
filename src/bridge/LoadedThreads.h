#pragma once

#include "bridge/DeviceCeiling.h"
#include "json/JSONValue.h"

#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// Where and how freely each thread loaded through the bridge runs now, as Codex said when it
// started or resumed it and as the turns since changed it. A turn that overrides nothing runs
// with these, which another device, or this one before its ceiling was lowered, may have set
// (a resumed thread keeps the folder it was made in). Codex refuses turns on threads it has not
// loaded, so a thread not known here cannot run. Main thread only.
class LoadedThreads {
public:
    struct Settings {
        std::optional<std::string> cwd;
        std::optional<SandboxLevel> sandbox;
        bool networkAccess = false;
        bool approvalsOff = false;
    };

    // The most threads remembered; the longest known go first.
    static constexpr std::size_t maxThreads = 4096;

    // From the result of thread/start or thread/resume: {"thread":{"id"},"cwd","sandbox",
    // "approvalPolicy"}.
    void learnFromResult(const JSONValue& result);
    // From the params of a turn/start that went on to Codex: its overrides last.
    void learnFromTurn(const JSONValue& params);
    const Settings* find(std::string_view threadID) const;

    // The rank of a sandbox policy as Codex writes it ({"type":"workspaceWrite",…}).
    static std::optional<SandboxLevel> policyLevel(const JSONValue& policy);

private:
    Settings& entry(const std::string& threadID);

    std::map<std::string, Settings, std::less<>> threads_;
    std::deque<std::string> order_;
};

} // namespace tarnwick
