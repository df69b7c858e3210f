#include "tarnwick-device/ApprovalPrompt.h"

#include <algorithm>
#include <cctype>

namespace tarnwick {

namespace {

std::optional<std::string> textMember(const JSONValue& value, std::string_view key) {
    const JSONValue* member = value.member(key);
    if (member && member->stringValue() && !member->stringValue()->empty()) {
        return *member->stringValue();
    }
    return std::nullopt;
}

} // namespace

void ApprovalPrompt::observeEvent(const std::string& method, const JSONValue& params) {
    if (method != "item/started" && method != "item/completed") {
        return;
    }
    const JSONValue* item = params.member("item");
    if (!item || textMember(*item, "type") != "fileChange") {
        return;
    }
    auto id = textMember(*item, "id");
    const JSONValue* changes = item->member("changes");
    if (!id || !changes || !changes->arrayValue()) {
        return;
    }
    std::vector<std::string> files;
    for (const JSONValue& change : *changes->arrayValue()) {
        if (auto path = textMember(change, "path")) {
            auto kind = textMember(change, "kind");
            const JSONValue* kindValue = change.member("kind");
            if (!kind && kindValue) {
                // The kind may be an object such as {"type":"update"}.
                kind = textMember(*kindValue, "type");
            }
            files.push_back(kind ? *path + " (" + *kind + ")" : *path);
        }
    }
    filesByItem_[*id] = std::move(files);
}

std::string ApprovalPrompt::describe(const std::string& method, const JSONValue& params) const {
    std::string text;
    if (method == "item/commandExecution/requestApproval") {
        auto command = textMember(params, "command");
        auto cwd = textMember(params, "cwd");
        text = "Codex asks to run a command:\n  " + command.value_or("(command not given)") +
               "\n  in " + cwd.value_or("(working directory not given)") + "\n";
    } else if (method == "item/fileChange/requestApproval") {
        text = "Codex asks to change files:\n";
        auto item = textMember(params, "itemId");
        auto found = item ? filesByItem_.find(*item) : filesByItem_.end();
        if (found == filesByItem_.end() || found->second.empty()) {
            text += "  (the files were not announced to this device)\n";
        } else {
            for (const std::string& file : found->second) {
                text += "  " + file + "\n";
            }
        }
        if (auto root = textMember(params, "grantRoot")) {
            text += "  and to write anywhere under " + *root + " for this session\n";
        }
    } else {
        return {};
    }
    if (auto reason = textMember(params, "reason")) {
        text += "  Reason: " + *reason + "\n";
    }
    return text;
}

const char* ApprovalPrompt::choiceLine() {
    return "Approve? [y]es, approve for this [s]ession, [n]o: ";
}

std::optional<std::string> ApprovalPrompt::decisionFor(std::string answer) {
    answer.erase(std::remove_if(answer.begin(), answer.end(),
                                [](unsigned char c) { return std::isspace(c) != 0; }),
                 answer.end());
    std::transform(answer.begin(), answer.end(), answer.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (answer == "y" || answer == "yes") {
        return "accept";
    }
    if (answer == "s" || answer == "session") {
        return "acceptForSession";
    }
    if (answer.empty() || answer == "n" || answer == "no") {
        return "decline";
    }
    return std::nullopt;
}

JSONValue ApprovalPrompt::response(const std::string& decision) {
    return JSONObject{{"decision", decision}};
}

} // namespace tarnwick
