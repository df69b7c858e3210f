#include "tarnwick-device/ApprovalPrompt.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>

namespace tarnwick {

namespace {

std::optional<std::string> textMember(const JSONValue& value, std::string_view key) {
    const JSONValue* member = value.member(key);
    if (member && member->stringValue() && !member->stringValue()->empty()) {
        return *member->stringValue();
    }
    return std::nullopt;
}

// A word of a command as a shell would need it typed.
std::string shellWord(const std::string& word) {
    const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](unsigned char c) {
        return std::isalnum(c) ||
               std::string_view("_./=:@%+-,").find(char(c)) != std::string_view::npos;
    });
    if (plain) {
        return word;
    }
    std::string quoted = "'";
    for (char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
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
    text += "  Answers:\n";
    for (const ApprovalChoice& choice : choicesFor(params)) {
        text += "    " + choice.key + "  " + choice.meaning + "\n";
    }
    return text;
}

std::vector<ApprovalChoice> ApprovalPrompt::choicesFor(const JSONValue& params) {
    std::vector<ApprovalChoice> choices;
    auto add = [&choices](std::string key, std::string meaning, JSONValue decision) {
        for (const ApprovalChoice& choice : choices) {
            if (choice.key == key || choice.decision == decision) {
                return;
            }
        }
        choices.push_back(ApprovalChoice{std::move(key), std::move(meaning), std::move(decision)});
    };
    const JSONValue* offered = params.member("availableDecisions");
    if (!offered || !offered->arrayValue()) {
        static const JSONValue fallback =
            JSONArray{"accept", "acceptForSession", "decline", "cancel"};
        offered = &fallback;
    }
    std::size_t position = 0;
    for (const JSONValue& decision : *offered->arrayValue()) {
        ++position;
        const std::string number = std::to_string(position);
        if (const std::string* word = decision.stringValue()) {
            if (*word == "accept") {
                add("y", "yes (accept)", decision);
            } else if (*word == "acceptForSession") {
                add("s", "yes, and the same for the rest of this session (acceptForSession)",
                    decision);
            } else if (*word == "decline") {
                add("n", "no, and let Codex go on (decline)", decision);
            } else if (*word == "cancel") {
                add("c", "no, and stop the turn (cancel)", decision);
            } else if (!word->empty()) {
                add(number, *word, decision);
            }
            continue;
        }
        // A decision with details is an object with one member named after it.
        const JSONObject* object = decision.objectValue();
        if (!object || object->size() != 1) {
            continue;
        }
        const auto& [name, details] = *object->begin();
        std::string meaning = name;
        const JSONValue* amendment = details.member("execpolicy_amendment");
        if (name == "acceptWithExecpolicyAmendment" && amendment && amendment->arrayValue()) {
            std::string prefix;
            for (const JSONValue& word : *amendment->arrayValue()) {
                if (word.stringValue()) {
                    if (!prefix.empty()) {
                        prefix += ' ';
                    }
                    prefix += shellWord(*word.stringValue());
                }
            }
            meaning = "yes, and from now on allow commands that start with \"" + prefix + "\" (" +
                      name + ")";
        }
        add(number, meaning, decision);
    }
    // Only what Codex offered: the bridge refuses any other decision.
    return choices;
}

JSONValue ApprovalPrompt::refusalFor(const std::vector<ApprovalChoice>& choices) {
    for (const char* word : {"decline", "cancel"}) {
        for (const ApprovalChoice& choice : choices) {
            if (choice.decision == JSONValue(word)) {
                return choice.decision;
            }
        }
    }
    return JSONValue("decline");
}

std::string ApprovalPrompt::settledNote(const JSONValue& outcome) {
    const JSONValue* how = outcome.member("outcome");
    const std::string word = how && how->stringValue() ? *how->stringValue() : std::string();
    if (word == "answered") {
        const JSONValue* name = outcome.member("deviceName");
        const std::string device = name && name->stringValue() ? *name->stringValue() : "?";
        const JSONValue* decision = outcome.member("decision");
        const std::string* text = decision ? decision->stringValue() : nullptr;
        if (text && (*text == "accept" || *text == "acceptForSession")) {
            return "Approved on " + device;
        }
        if (text && (*text == "decline" || *text == "cancel")) {
            return "Declined on " + device;
        }
        return "Answered on " + device;
    }
    if (word == "withdrawn") {
        return "Codex no longer needs this";
    }
    if (word == "timedOut") {
        return "Declined: nobody answered in time";
    }
    if (word == "restarted") {
        return "Codex was restarted";
    }
    return "Settled";
}

std::string ApprovalPrompt::choiceLine(const std::vector<ApprovalChoice>& choices) {
    std::string keys;
    for (const ApprovalChoice& choice : choices) {
        keys += (keys.empty() ? "" : "/") + choice.key;
    }
    const bool declines = std::any_of(choices.begin(), choices.end(), [](const ApprovalChoice& c) {
        return c.decision == JSONValue("decline");
    });
    return "Your answer [" + keys + (declines ? "; Enter declines]: " : "]: ");
}

std::optional<JSONValue> ApprovalPrompt::decisionFor(const std::vector<ApprovalChoice>& choices,
                                                     std::string answer) {
    answer.erase(std::remove_if(answer.begin(), answer.end(),
                                [](unsigned char c) { return std::isspace(c) != 0; }),
                 answer.end());
    std::string lowered = answer;
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    // Words that stand for a choice's key.
    static constexpr std::pair<std::string_view, std::string_view> synonyms[] = {
        {"", "n"}, {"no", "n"}, {"yes", "y"}, {"session", "s"}};
    for (const auto& [word, key] : synonyms) {
        if (lowered == word) {
            lowered = std::string(key);
            break;
        }
    }
    for (const ApprovalChoice& choice : choices) {
        const std::string* word = choice.decision.stringValue();
        if (choice.key == lowered || (word && *word == answer)) {
            return choice.decision;
        }
    }
    return std::nullopt;
}

JSONValue ApprovalPrompt::response(JSONValue decision) {
    return JSONObject{{"decision", std::move(decision)}};
}

} // namespace tarnwick
