#include "bridge/OfferedDecisions.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace tarnwick {

namespace {

constexpr std::array<std::string_view, 4> plainDecisions = {"accept", "acceptForSession", "decline",
                                                            "cancel"};

} // namespace

std::optional<JSONValue> offeredDecision(const JSONValue& params, const JSONValue& answer) {
    const JSONValue* decision = answer.member("decision");
    if (!answer.objectValue() || !decision) {
        return std::nullopt;
    }
    if (const JSONValue* listed = params.member("availableDecisions");
        listed && listed->arrayValue()) {
        const JSONArray& offered = *listed->arrayValue();
        // By value equality: an object decision must match one Codex listed member by member.
        if (std::find(offered.begin(), offered.end(), *decision) == offered.end()) {
            return std::nullopt;
        }
        return *decision;
    }
    const std::string* text = decision->stringValue();
    if (!text ||
        std::find(plainDecisions.begin(), plainDecisions.end(), *text) == plainDecisions.end()) {
        return std::nullopt;
    }
    return *decision;
}

DecisionSense senseOf(const JSONValue& decision) {
    const std::string* text = decision.stringValue();
    if (!text) {
        return DecisionSense::other;
    }
    if (*text == "accept" || *text == "acceptForSession") {
        return DecisionSense::approves;
    }
    if (*text == "decline" || *text == "cancel") {
        return DecisionSense::refuses;
    }
    return DecisionSense::other;
}

} // namespace tarnwick
