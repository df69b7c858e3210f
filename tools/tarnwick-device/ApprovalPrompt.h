#pragma once

#include "json/JSONValue.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

// One answer a person can give to an approval question.
struct ApprovalChoice {
    // What to type: y, s, n or c for the decisions Codex names in words, a number otherwise.
    std::string key;
    // What the answer means, for people.
    std::string meaning;
    // What goes to Codex as the "decision": a word, or an object for a decision with details.
    JSONValue decision;
};

// Turns the app-server's approval questions into text for people and people's answers into
// the decisions the app-server expects. It follows the events to learn which files a file
// change touches, since the question itself does not list them.
class ApprovalPrompt {
public:
    // Notes the files of file-change items as they start or complete.
    void observeEvent(const std::string& method, const JSONValue& params);

    // What the question asks and the answers it allows, over several lines; empty for a
    // method it does not know.
    std::string describe(const std::string& method, const JSONValue& params) const;

    // The answers Codex offers for a question (its "availableDecisions", in its order), or
    // accept, accept for the session, decline and cancel when it names none. Nothing else:
    // the bridge refuses a decision Codex did not offer.
    static std::vector<ApprovalChoice> choicesFor(const JSONValue& params);
    // The refusal among `choices` (decline, else cancel) for a question nobody will answer.
    static JSONValue refusalFor(const std::vector<ApprovalChoice>& choices);
    // How the bridge says a question ended, for people: "Approved on Laptop", "Codex no
    // longer needs this", ...
    static std::string settledNote(const JSONValue& outcome);
    // The line asking for an answer among `choices`.
    static std::string choiceLine(const std::vector<ApprovalChoice>& choices);
    // The decision for what a person typed: a choice's key, its decision word, yes or no;
    // an empty answer declines. Nothing for anything else.
    static std::optional<JSONValue> decisionFor(const std::vector<ApprovalChoice>& choices,
                                                std::string answer);
    // The result the app-server expects for a decision.
    static JSONValue response(JSONValue decision);

private:
    std::map<std::string, std::vector<std::string>> filesByItem_;
};

} // namespace tarnwick
