#include "bridge/CeilingCheck.h"

#include "bridge/DeviceText.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <memory>
#include <utility>

namespace tarnwick {

namespace {

using namespace std::string_view_literals;

// Members that change nothing of where Codex works or what it may do without asking: models,
// instructions, the input, ids, metadata. The members Codex 0.169 takes without the
// experimental capability, and those it takes with it that widen nothing.
constexpr std::array harmlessThreadStart = {
    "model"sv,
    "modelProvider"sv,
    "serviceTier"sv,
    "serviceName"sv,
    "baseInstructions"sv,
    "developerInstructions"sv,
    "personality"sv,
    "ephemeral"sv,
    "sessionStartSource"sv,
    "threadSource"sv,
    "allowProviderModelFallback"sv,
    "daybreakEnabled"sv,
    "historyMode"sv,
    "multiAgentMode"sv,
    "projectId"sv,
};
constexpr std::array harmlessThreadResume = {
    "threadId"sv,         "model"sv,
    "modelProvider"sv,    "serviceTier"sv,
    "baseInstructions"sv, "developerInstructions"sv,
    "personality"sv,      "excludeTurns"sv,
    "initialTurnsPage"sv,
};
constexpr std::array harmlessTurnStart = {
    "threadId"sv,
    "input"sv,
    "model"sv,
    "effort"sv,
    "summary"sv,
    "serviceTier"sv,
    "serviceTierForTurn"sv,
    "personality"sv,
    "outputSchema"sv,
    "clientUserMessageId"sv,
    "parentTurnId"sv,
    "rootTurnId"sv,
    "toolOutput"sv,
    "turnTrigger"sv,
    "collaborationMode"sv,
    "cyberAccessProgram"sv,
    "additionalContext"sv,
    "responsesapiClientMetadata"sv,
    "responsesapiClientMetadataPatch"sv,
    "multiAgentMode"sv,
};
constexpr std::array harmlessTurnSteer = {
    "threadId"sv,
    "input"sv,
    "expectedTurnId"sv,
    "clientUserMessageId"sv,
    "additionalContext"sv,
    "responsesapiClientMetadata"sv,
    "responsesapiClientMetadataPatch"sv,
};

template <std::size_t N>
bool listed(const std::array<std::string_view, N>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool harmless(std::string_view method, std::string_view member) {
    if (method == "thread/start") {
        return listed(harmlessThreadStart, member);
    }
    if (method == "thread/resume") {
        return listed(harmlessThreadResume, member);
    }
    if (method == "turn/start") {
        return listed(harmlessTurnStart, member);
    }
    return listed(harmlessTurnSteer, member);
}

std::string quoted(std::string_view text) {
    std::string out(1, '"');
    out.append(boundedDeviceText(text, 200)).push_back('"');
    return out;
}

// What a device sent, short enough for a log line.
std::string shown(const JSONValue& value) {
    if (const std::string* text = value.stringValue()) {
        return quoted(*text);
    }
    return boundedDeviceText(value.displayText(), 200);
}

CeilingRefusal refusal(std::string setting, const JSONValue& asked, std::string reason) {
    return CeilingRefusal{std::move(setting), shown(asked), std::move(reason)};
}

std::string sandboxReason(const DeviceCeiling& ceiling) {
    return "This computer allows devices at most the " +
           std::string(sandboxModeName(ceiling.sandbox)) + " sandbox.";
}

constexpr const char* approvalReason =
    "This computer lets devices choose only among the asking approval policies (untrusted, "
    "on-request), not turn approvals off.";
constexpr const char* reviewerReason =
    "This computer lets only a person answer approvals: approvalsReviewer may only be \"user\".";
constexpr const char* networkReason = "This computer does not let the sandbox reach the network.";

// The one configuration the bridge sets itself: the workspace-write sandbox without network.
JSONValue noNetworkConfig() {
    return JSONValue(
        JSONObject{{"sandbox_workspace_write", JSONObject{{"network_access", false}}}});
}

std::string rootsText(const DeviceCeiling& ceiling) {
    if (ceiling.roots.empty()) {
        return "This computer lets devices work in no folder.";
    }
    std::string text = "This computer lets devices work only in ";
    for (std::size_t i = 0; i < ceiling.roots.size(); ++i) {
        text += (i == 0 ? "" : ", ") + ceiling.roots[i];
    }
    return text + " and the folders in them, not in dot-folders" +
           (ceiling.sandbox == SandboxLevel::workspaceWrite
                ? ", nor in the home folder itself, whose dot files workspace-write would open."
                : ".");
}

std::optional<CeilingRefusal> checkApprovalPolicy(const JSONValue& value,
                                                  const DeviceCeiling& ceiling) {
    if (ceiling.approvalNever) {
        return std::nullopt;
    }
    // A granular policy can turn whole kinds of question off; it counts as "never".
    const std::string* text = value.stringValue();
    if (text && (*text == "untrusted" || *text == "on-request" || *text == "on-failure")) {
        return std::nullopt;
    }
    return refusal("approvalPolicy", value, approvalReason);
}

std::optional<CeilingRefusal> checkReviewer(const JSONValue& value, const DeviceCeiling& ceiling) {
    // Another reviewer is an agent deciding in the person's place.
    const std::string* text = value.stringValue();
    if (ceiling.approvalNever || (text && *text == "user")) {
        return std::nullopt;
    }
    return refusal("approvalsReviewer", value, reviewerReason);
}

std::optional<CeilingRefusal> checkSandboxMode(const JSONValue& value,
                                               const DeviceCeiling& ceiling) {
    const std::string* text = value.stringValue();
    auto level = text ? sandboxLevelFromMode(*text) : std::nullopt;
    if (!level || *level > ceiling.sandbox) {
        return refusal("sandbox", value, sandboxReason(ceiling));
    }
    return std::nullopt;
}

} // namespace

CeilingCheck::CeilingCheck(CanonicalFolder canonical, std::string codexFolder, std::string home)
    : canonical_(std::move(canonical)), codexFolder_(std::move(codexFolder)),
      home_(canonical_(home).value_or("")) {}

bool CeilingCheck::governs(std::string_view method) {
    return method == "thread/start" || method == "thread/resume" || method == "turn/start" ||
           method == "turn/steer";
}

Expected<JSONValue, CeilingRefusal> CeilingCheck::check(std::string_view method, JSONValue params,
                                                        const DeviceCeiling& ceiling) const {
    if (!governs(method)) {
        return params;
    }
    JSONObject* members = params.objectValue();
    if (!members) {
        return Unexpected(refusal("params", params, "The params must be a JSON object."));
    }
    const bool thread = method == "thread/start" || method == "thread/resume";
    const bool turn = method == "turn/start";
    JSONObject checked;
    for (const auto& [name, value] : *members) {
        if (harmless(method, name) || (thread && name == "config" && value == noNetworkConfig())) {
            checked.set(name, value);
            continue;
        }
        const bool governed = ((thread || turn) && (name == "cwd" || name == "approvalPolicy" ||
                                                    name == "approvalsReviewer")) ||
                              (thread && name == "sandbox") || (turn && name == "sandboxPolicy");
        if (!governed) {
            // A configuration map takes any key: the sandbox and approval settings, the
            // commands Codex runs on its own (notify, MCP servers, the shell's environment),
            // profiles. No key of it is left to a device.
            return Unexpected(refusal(
                name, value,
                name == "config" ? std::string("This computer does not let devices change Codex's "
                                               "configuration (config).")
                                 : "This computer does not let devices set " +
                                       boundedDeviceText(name, 100) + "."));
        }
        if (value.isNull()) {
            continue; // Codex reads null as left out; the defaults below fill it in.
        }
        std::optional<CeilingRefusal> over;
        JSONValue passed = value;
        if (name == "cwd") {
            auto folder = folderWithin("cwd", value, ceiling);
            if (!folder) {
                return Unexpected(std::move(folder).error());
            }
            passed = JSONValue(std::move(*folder));
        } else if (name == "approvalPolicy") {
            over = checkApprovalPolicy(value, ceiling);
        } else if (name == "approvalsReviewer") {
            over = checkReviewer(value, ceiling);
        } else if (name == "sandbox") {
            over = checkSandboxMode(value, ceiling);
        } else if (JSONObject* policy = passed.objectValue()) {
            over = checkSandboxPolicy(*policy, ceiling);
        } else {
            over = refusal("sandboxPolicy", value, sandboxReason(ceiling));
        }
        if (over) {
            return Unexpected(std::move(*over));
        }
        checked.set(name, std::move(passed));
    }
    if (thread) {
        fillThreadDefaults(checked, ceiling, method == "thread/resume");
        if (method == "thread/start" && !checked.contains("cwd") &&
            !allowsFolder(canonical_(codexFolder_).value_or(""), ceiling)) {
            // Codex would work in its own folder, outside the roots: the first root that is
            // there instead.
            for (const std::string& root : ceiling.roots) {
                if (auto real = canonical_(root); real && allowsFolder(*real, ceiling)) {
                    checked.set("cwd", JSONValue(std::move(*real)));
                    break;
                }
            }
            if (!checked.contains("cwd")) {
                return Unexpected(CeilingRefusal{"cwd", "(none)", rootsText(ceiling)});
            }
        }
    }
    return JSONValue(std::move(checked));
}

std::optional<CeilingRefusal> CeilingCheck::checkInherited(const JSONValue& params,
                                                           const LoadedThreads::Settings& thread,
                                                           const DeviceCeiling& ceiling) const {
    auto given = [&](std::string_view name) {
        const JSONValue* value = params.member(name);
        return value && !value->isNull();
    };
    const std::string own = " The thread was set so before: give the turn a setting within it, "
                            "or start another thread.";
    if (!given("cwd") && thread.cwd &&
        !allowsFolder(canonical_(*thread.cwd).value_or(""), ceiling)) {
        return refusal("cwd", JSONValue(*thread.cwd), rootsText(ceiling) + own);
    }
    if (!given("sandboxPolicy") && thread.sandbox && *thread.sandbox > ceiling.sandbox) {
        return refusal("sandbox", JSONValue(sandboxModeName(*thread.sandbox)),
                       sandboxReason(ceiling) + own);
    }
    if (!given("sandboxPolicy") && thread.networkAccess && !ceiling.networkAccess) {
        return refusal("networkAccess", JSONValue(true), networkReason + own);
    }
    if (!given("approvalPolicy") && thread.approvalsOff && !ceiling.approvalNever) {
        return refusal("approvalPolicy", JSONValue("never"), approvalReason + own);
    }
    return std::nullopt;
}

Expected<std::string, CeilingRefusal>
CeilingCheck::folderWithin(std::string_view setting, const JSONValue& value,
                           const DeviceCeiling& ceiling) const {
    const std::string* path = value.stringValue();
    if (!path || !path->starts_with('/')) {
        return Unexpected(
            refusal(std::string(setting), value, "A folder must be given as an absolute path."));
    }
    auto real = canonical_(*path);
    if (!real) {
        return Unexpected(refusal(std::string(setting), value,
                                  "There is no folder " + quoted(*path) + " on this computer."));
    }
    if (!allowsFolder(*real, ceiling)) {
        return Unexpected(refusal(std::string(setting), value, rootsText(ceiling)));
    }
    return *real;
}

bool CeilingCheck::allowsFolder(std::string_view canonicalPath,
                                const DeviceCeiling& ceiling) const {
    // Writing in the home folder itself is writing its dot files (~/.bashrc, ~/.ssh): only the
    // read-only ceiling, or one that allows everything anyway, lets a device work there.
    if (canonicalPath.empty() ||
        (canonicalPath == home_ && ceiling.sandbox == SandboxLevel::workspaceWrite)) {
        return false;
    }
    return std::any_of(ceiling.roots.begin(), ceiling.roots.end(), [&](const std::string& root) {
        auto realRoot = canonical_(root);
        if (!realRoot || !folderIsWithin(canonicalPath, *realRoot)) {
            return false;
        }
        std::string_view below =
            canonicalPath.substr(std::min(canonicalPath.size(), realRoot->size()));
        // Every part below the root: none may begin with a dot (~/.ssh, ~/.config, ~/.codex).
        for (std::size_t at = 0; at < below.size();) {
            at = below.find_first_not_of('/', at);
            if (at == std::string_view::npos) {
                break;
            }
            if (below[at] == '.') {
                return false;
            }
            at = below.find('/', at);
        }
        return true;
    });
}

std::optional<CeilingRefusal> CeilingCheck::checkSandboxPolicy(JSONObject& policy,
                                                               const DeviceCeiling& ceiling) const {
    const JSONValue whole(policy);
    const JSONValue* type = policy.find("type");
    const std::string* typeText = type ? type->stringValue() : nullptr;
    // Codex's policy types by rank: an external sandbox means Codex itself holds nothing back.
    std::optional<SandboxLevel> level;
    if (typeText && *typeText == "readOnly") {
        level = SandboxLevel::readOnly;
    } else if (typeText && *typeText == "workspaceWrite") {
        level = SandboxLevel::workspaceWrite;
    } else if (typeText && (*typeText == "dangerFullAccess" || *typeText == "externalSandbox")) {
        level = SandboxLevel::dangerFullAccess;
    }
    if (!level || *level > ceiling.sandbox) {
        return refusal("sandboxPolicy", whole, sandboxReason(ceiling));
    }
    JSONObject checked;
    for (const auto& [name, value] : policy) {
        const bool workspace = *level == SandboxLevel::workspaceWrite;
        if (name == "type") {
        } else if (name == "networkAccess") {
            const std::optional<bool> on = value.boolValue();
            if (!on && !value.isNull() && *level != SandboxLevel::dangerFullAccess) {
                return refusal("sandboxPolicy.networkAccess", value, networkReason);
            }
            if (on.value_or(false) && !ceiling.networkAccess) {
                return refusal("sandboxPolicy.networkAccess", value, networkReason);
            }
        } else if (workspace && (name == "excludeSlashTmp" || name == "excludeTmpdirEnvVar")) {
        } else if (workspace && name == "writableRoots") {
            const JSONArray* roots = value.arrayValue();
            if (!roots) {
                return refusal("sandboxPolicy.writableRoots", value, rootsText(ceiling));
            }
            JSONArray real;
            for (const JSONValue& root : *roots) {
                auto folder = folderWithin("sandboxPolicy.writableRoots", root, ceiling);
                if (!folder) {
                    return std::move(folder).error();
                }
                real.emplace_back(std::move(*folder));
            }
            checked.set(name, JSONValue(std::move(real)));
            continue;
        } else if (*level != SandboxLevel::dangerFullAccess) {
            return refusal("sandboxPolicy." + boundedDeviceText(name, 100), value,
                           "This computer does not let devices set sandboxPolicy." +
                               boundedDeviceText(name, 100) + ".");
        }
        checked.set(name, value);
    }
    policy = std::move(checked);
    return std::nullopt;
}

void CeilingCheck::fillThreadDefaults(JSONObject& params, const DeviceCeiling& ceiling,
                                      bool resuming) const {
    (void)resuming;
    // Codex's defaults come from the person's own configuration, which may say "never" or
    // danger-full-access: a device that says nothing gets the ceiling's, at most
    // workspace-write.
    if (!params.contains("sandbox") && ceiling.sandbox != SandboxLevel::dangerFullAccess) {
        params.set("sandbox", JSONValue(sandboxModeName(ceiling.sandbox)));
    }
    if (!params.contains("approvalPolicy") && !ceiling.approvalNever) {
        params.set("approvalPolicy", JSONValue("on-request"));
    }
    if (!ceiling.networkAccess) {
        // The workspace-write sandbox takes its network setting from the configuration alone.
        params.set("config", noNetworkConfig());
    }
}

std::optional<std::string> canonicalFolderOnDisk(std::string_view path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(std::string(path).c_str(), nullptr),
                                                     &std::free);
    struct stat info {};
    if (!real || ::stat(real.get(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return std::nullopt;
    }
    return std::string(real.get());
}

} // namespace tarnwick
