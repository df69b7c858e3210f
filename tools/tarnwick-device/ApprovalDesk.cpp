#include "tarnwick-device/ApprovalDesk.h"

#include <algorithm>

namespace tarnwick {

ApprovalDesk::ApprovalDesk(BridgeDevice& device, const ApprovalPrompt& prompt, std::ostream& errors,
                           bool declineAll)
    : device_(device), prompt_(prompt), errors_(errors), declineAll_(declineAll) {}

void ApprovalDesk::asked(const std::string& id, const std::string& method,
                         const JSONValue& params) {
    if (std::any_of(open_.begin(), open_.end(), [&](const Question& q) { return q.id == id; })) {
        return;
    }
    std::string text = prompt_.describe(method, params);
    if (text.empty() || declineAll_ || inputEnded_) {
        errors_ << (text.empty()
                        ? "Codex asked something this device cannot show (" + method + ").\n"
                        : text)
                << "Declined.\n"
                << std::flush;
        device_.answer(id, ApprovalPrompt::response(
                               ApprovalPrompt::refusalFor(ApprovalPrompt::choicesFor(params))));
        return;
    }
    open_.push_back(Question{id, method, params, ApprovalPrompt::choicesFor(params)});
    if (open_.size() == 1) {
        showNext();
    }
}

void ApprovalDesk::showNext() {
    if (open_.empty()) {
        return;
    }
    const Question& question = open_.front();
    errors_ << prompt_.describe(question.method, question.params)
            << ApprovalPrompt::choiceLine(question.choices) << std::flush;
}

void ApprovalDesk::settled(const std::string& id, const JSONValue& outcome) {
    auto found =
        std::find_if(open_.begin(), open_.end(), [&](const Question& q) { return q.id == id; });
    if (found == open_.end()) {
        return;
    }
    const bool shown = found == open_.begin();
    open_.erase(found);
    errors_ << (shown ? "\n" : "") << ApprovalPrompt::settledNote(outcome) << ".\n" << std::flush;
    if (shown && !inputEnded_) {
        showNext();
    }
}

void ApprovalDesk::answerLine(const std::string& line) {
    if (open_.empty()) {
        return;
    }
    const std::vector<ApprovalChoice>& choices = open_.front().choices;
    auto decision = ApprovalPrompt::decisionFor(choices, line);
    if (!decision) {
        errors_ << "Please answer with one of the keys. " << ApprovalPrompt::choiceLine(choices)
                << std::flush;
        return;
    }
    decide(*decision);
}

void ApprovalDesk::decide(const JSONValue& decision) {
    Question question = std::move(open_.front());
    open_.pop_front();
    device_.answer(question.id, ApprovalPrompt::response(decision));
    const char* outcome = "Approved.\n";
    if (decision == JSONValue("decline")) {
        outcome = "Declined.\n";
    } else if (decision == JSONValue("cancel")) {
        outcome = "Cancelled: the turn stops.\n";
    }
    errors_ << outcome << std::flush;
    if (!inputEnded_) {
        showNext();
    }
}

void ApprovalDesk::inputEnded() {
    inputEnded_ = true;
    while (!open_.empty()) {
        errors_ << "\nNo more input.\n";
        decide(ApprovalPrompt::refusalFor(open_.front().choices));
    }
}

} // namespace tarnwick
