#pragma once

#include "json/JSONText.h"
#include "json/JSONValue.h"
#include "link/PeerHandle.h"

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// One approval question Codex asked and nobody has settled yet: what is needed to show it
// again, under the same id, to a session that comes later.
struct OpenQuestion {
    using TimePoint = std::chrono::steady_clock::time_point;

    // The bridge's id for it; devices never see Codex's own.
    std::string bridgeID;
    JSONValue codexID;
    std::string method;
    // The params as Codex wrote them.
    JSONText params;
    // From the params, to settle it when its turn ends.
    std::string threadID;
    std::string turnID;
    TimePoint askedAt;
    // Since when it waits for a paired device to come back; absent while one is connected.
    std::optional<TimePoint> waitingSince;
    // The version-2 sessions that were shown it, to be told how it ended.
    std::set<PeerHandle> shownTo;
    // The devices those sessions were authorised as: one that is away when the question is
    // settled is told when it comes back, so that no screen keeps a card for it.
    std::set<std::string> shownToDevices;
    // A version-1 session was shown it: version-1 devices are asked once, as they always were.
    bool offeredToVersion1 = false;
};

// The open questions, oldest first. Bounded: Codex asks one question at a time per turn, and a
// process that asks more than maxOpen at once gets the surplus declined by the owner.
class OpenQuestions {
public:
    static constexpr std::size_t maxOpen = 256;

    bool full() const { return questions_.size() >= maxOpen; }
    OpenQuestion& add(OpenQuestion question);
    OpenQuestion* find(std::string_view bridgeID);
    // Removes and gives the question with that id, or nothing.
    std::optional<OpenQuestion> take(std::string_view bridgeID);
    // Removes and gives, oldest first, every question that `pick` chooses.
    template <typename Pick>
    std::vector<OpenQuestion> takeIf(Pick&& pick);
    std::vector<OpenQuestion>& all() { return questions_; }
    const std::vector<OpenQuestion>& all() const { return questions_; }
    std::size_t size() const { return questions_.size(); }

private:
    std::vector<OpenQuestion> questions_;
};

template <typename Pick>
std::vector<OpenQuestion> OpenQuestions::takeIf(Pick&& pick) {
    std::vector<OpenQuestion> taken;
    std::vector<OpenQuestion> kept;
    for (OpenQuestion& question : questions_) {
        (pick(std::as_const(question)) ? taken : kept).push_back(std::move(question));
    }
    questions_ = std::move(kept);
    return taken;
}

} // namespace tarnwick
