#include "bridge/CeilingCheck.h"

#include "bridge/DeviceText.h"

#include <algorithm>
#include <array>
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

CeilingRefusal refusal(std::string setting, const JSONValue& asked, std::string reason) {
    return CeilingRefusal::of(std::move(setting), asked, std::move(reason));
}

std::string rootsText(const DeviceCeiling& ceiling) {
    return CeilingFolders::rootsText(ceiling);
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
    : folders_(std::move(canonical), std::move(codexFolder), std::move(home)) {}

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
            auto folder = folders_.within("cwd", value, ceiling);
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
        if (method == "thread/start" && !checked.contains("cwd")) {
            auto folder = folders_.forThreadWithoutFolder(ceiling);
            if (!folder) {
                return Unexpected(std::move(folder).error());
            }
            if (*folder) {
                checked.set("cwd", JSONValue(std::move(**folder)));
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
    if (!given("cwd") && thread.cwd && !folders_.allows(*thread.cwd, ceiling)) {
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
                auto folder = folders_.within("sandboxPolicy.writableRoots", root, ceiling);
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

} // namespace tarnwick
