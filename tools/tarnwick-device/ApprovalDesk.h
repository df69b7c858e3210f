#pragma once

#include "device/BridgeDevice.h"
#include "tarnwick-device/ApprovalPrompt.h"

#include <deque>
#include <ostream>
#include <string>
#include <vector>

namespace tarnwick {

// Answers the bridge's approval questions one at a time: shows each on the error stream, takes
// the user's answer from the next input line and sends the matching decision. With decline-all
// every question is declined at once; questions still open when input ends are declined too.
class ApprovalDesk {
public:
    ApprovalDesk(BridgeDevice& device, const ApprovalPrompt& prompt, std::ostream& errors,
                 bool declineAll);

    // A question asked again (after a reconnect) under an id already open is the same one.
    void asked(const std::string& id, const std::string& method, const JSONValue& params);
    // The bridge settled a question: its prompt goes, with the note why.
    void settled(const std::string& id, const JSONValue& outcome);
    // Whether the next input line is the answer to a question.
    bool awaitsAnswer() const { return !open_.empty(); }
    void answerLine(const std::string& line);
    void inputEnded();

private:
    struct Question {
        std::string id;
        std::string method;
        JSONValue params;
        std::vector<ApprovalChoice> choices;
    };

    void showNext();
    void decide(const JSONValue& decision);

    BridgeDevice& device_;
    const ApprovalPrompt& prompt_;
    std::ostream& errors_;
    bool declineAll_;
    bool inputEnded_ = false;
    std::deque<Question> open_;
};

} // namespace tarnwick
