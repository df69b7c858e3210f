#include "bridge/OpenQuestions.h"

#include <algorithm>

namespace tarnwick {

OpenQuestion& OpenQuestions::add(OpenQuestion question) {
    questions_.push_back(std::move(question));
    return questions_.back();
}

OpenQuestion* OpenQuestions::find(std::string_view bridgeID) {
    auto found = std::find_if(questions_.begin(), questions_.end(),
                              [&](const OpenQuestion& q) { return q.bridgeID == bridgeID; });
    return found == questions_.end() ? nullptr : &*found;
}

std::optional<OpenQuestion> OpenQuestions::take(std::string_view bridgeID) {
    auto found = std::find_if(questions_.begin(), questions_.end(),
                              [&](const OpenQuestion& q) { return q.bridgeID == bridgeID; });
    if (found == questions_.end()) {
        return std::nullopt;
    }
    OpenQuestion question = std::move(*found);
    questions_.erase(found);
    return question;
}

} // namespace tarnwick
