#include "bridge/LoadedThreads.h"

namespace tarnwick {

namespace {

const std::string* text(const JSONValue* value) {
    return value ? value->stringValue() : nullptr;
}

void takeSettings(LoadedThreads::Settings& settings, const JSONValue& from,
                  std::string_view policyKey) {
    if (const std::string* cwd = text(from.member("cwd"))) {
        settings.cwd = *cwd;
    }
    if (const JSONValue* policy = from.member(policyKey); policy && !policy->isNull()) {
        settings.sandbox = LoadedThreads::policyLevel(*policy);
        const JSONValue* network = policy->member("networkAccess");
        settings.networkAccess =
            network && (network->boolValue().value_or(false) || *network == JSONValue("enabled"));
    }
    if (const JSONValue* approval = from.member("approvalPolicy");
        approval && !approval->isNull()) {
        const std::string* policy = approval->stringValue();
        settings.approvalsOff = !policy || *policy == "never";
    }
}

} // namespace

std::optional<SandboxLevel> LoadedThreads::policyLevel(const JSONValue& policy) {
    const std::string* type = text(policy.member("type"));
    if (type && *type == "readOnly") {
        return SandboxLevel::readOnly;
    }
    if (type && *type == "workspaceWrite") {
        return SandboxLevel::workspaceWrite;
    }
    // Full access, an external sandbox (Codex holds nothing back) and anything not known.
    return SandboxLevel::dangerFullAccess;
}

void LoadedThreads::learnFromResult(const JSONValue& result) {
    const JSONValue* thread = result.member("thread");
    const std::string* id = thread ? text(thread->member("id")) : nullptr;
    if (id) {
        takeSettings(entry(*id), result, "sandbox");
    }
}

void LoadedThreads::learnFromTurn(const JSONValue& params) {
    if (const std::string* id = text(params.member("threadId"))) {
        if (threads_.contains(*id)) {
            takeSettings(entry(*id), params, "sandboxPolicy");
        }
    }
}

const LoadedThreads::Settings* LoadedThreads::find(std::string_view threadID) const {
    auto found = threads_.find(threadID);
    return found == threads_.end() ? nullptr : &found->second;
}

LoadedThreads::Settings& LoadedThreads::entry(const std::string& threadID) {
    auto [at, added] = threads_.try_emplace(threadID);
    if (added) {
        order_.push_back(threadID);
        if (order_.size() > maxThreads) {
            threads_.erase(order_.front());
            order_.pop_front();
        }
    }
    return threads_.find(threadID)->second;
}

} // namespace tarnwick
