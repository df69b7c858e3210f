#pragma once

#include "bridge/JSONValue.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

// Turns the app-server's approval questions into text for people and people's answers into
// the decisions the app-server expects. It follows the events to learn which files a file
// change touches, since the question itself does not list them.
class ApprovalPrompt {
public:
    // Notes the files of file-change items as they start or complete.
    void observeEvent(const std::string& method, const JSONValue& params);

    // What the question asks, over one or more lines; empty for a method it does not know.
    std::string describe(const std::string& method, const JSONValue& params) const;

    // The line asking for an answer.
    static const char* choiceLine();
    // "accept" for y/yes, "acceptForSession" for s/session, "decline" for n/no/empty; nothing
    // for anything else.
    static std::optional<std::string> decisionFor(std::string answer);
    // The result the app-server expects for a decision.
    static JSONValue response(const std::string& decision);

private:
    std::map<std::string, std::vector<std::string>> filesByItem_;
};

} // namespace tarnwick
