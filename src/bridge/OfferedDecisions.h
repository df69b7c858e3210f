#pragma once

#include "json/JSONValue.h"

#include <optional>

namespace tarnwick {

// The decisions Codex offered for an approval question: the ones its params list under
// "availableDecisions" (texts such as "accept", or objects such as a policy amendment), or,
// when it lists none, accept, acceptForSession, decline and cancel.
//
// Gives the decision to pass to Codex for a device's answer body, or nothing when the answer
// holds no decision Codex offered. Only {"decision": <offered>} passes: a device cannot widen
// an approval by choosing words or shapes Codex did not put before the person.
std::optional<JSONValue> offeredDecision(const JSONValue& params, const JSONValue& answer);

// Whether a decision approves (accept, acceptForSession) or refuses (decline, cancel); other
// shapes are neither.
enum class DecisionSense { approves, refuses, other };
DecisionSense senseOf(const JSONValue& decision);

} // namespace tarnwick
