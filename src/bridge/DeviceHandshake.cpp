#include "bridge/DeviceHandshake.h"

#include "bridge/BridgeLog.h"

#include <initializer_list>

namespace tarnwick {

namespace {

using Stage = DeviceHandshake::Stage;

bool oneOf(Stage stage, std::initializer_list<Stage> stages) {
    for (Stage candidate : stages) {
        if (stage == candidate) {
            return true;
        }
    }
    return false;
}

} // namespace

DeviceHandshake::DeviceHandshake(int protocolVersion)
    : protocolVersion_(protocolVersion == 2 ? 2 : 1),
      stage_(protocolVersion_ == 2 ? Stage::awaitingOffer : Stage::awaitingHello) {}

DeviceHandshake::Step DeviceHandshake::stepFor(BridgeMessageKind kind) const {
    if (oneOf(stage_, {Stage::authorised, Stage::refused})) {
        return Step::ignore;
    }
    if (protocolVersion_ == 1) {
        switch (kind) {
        case BridgeMessageKind::hello:
            return stage_ == Stage::awaitingHello ? Step::takeHello : Step::ignore;
        case BridgeMessageKind::pairingRequest:
            // The code is computed from both hellos: nothing to compare before they are in.
            return oneOf(stage_, {Stage::helloVerified, Stage::awaitingPerson})
                       ? Step::takePairingRequest
                       : Step::ignore;
        case BridgeMessageKind::proof:
        case BridgeMessageKind::pairingNonce:
            return Step::refuseUnknownKind;
        default:
            return Step::ignore;
        }
    }
    switch (kind) {
    case BridgeMessageKind::hello:
        return stage_ == Stage::awaitingOffer ? Step::takeOffer : Step::refuseSecondOffer;
    case BridgeMessageKind::proof:
        return stage_ == Stage::awaitingProof ? Step::takeProof : Step::ignore;
    case BridgeMessageKind::pairingRequest:
        // Only a proven connection pairs: the code must bind keys whose holders are on it.
        return oneOf(stage_, {Stage::proven, Stage::committed, Stage::awaitingPerson})
                   ? Step::takePairingRequest
                   : Step::ignore;
    case BridgeMessageKind::pairingNonce:
        return stage_ == Stage::committed ? Step::takePairingNonce : Step::ignore;
    default:
        return Step::ignore;
    }
}

bool DeviceHandshake::advance(Event event) {
    const bool version2 = protocolVersion_ == 2;
    std::optional<Stage> next;
    switch (event) {
    case Event::helloVerified:
        if (!version2 && stage_ == Stage::awaitingHello) {
            next = Stage::helloVerified;
        }
        break;
    case Event::offerTaken:
        if (version2 && stage_ == Stage::awaitingOffer) {
            next = Stage::awaitingProof;
        }
        break;
    case Event::proofVerified:
        if (stage_ == Stage::awaitingProof) {
            next = Stage::proven;
        }
        break;
    case Event::committed:
        // A new attempt after a card was shown replaces that card's code.
        if (version2 && oneOf(stage_, {Stage::proven, Stage::awaitingPerson})) {
            next = Stage::committed;
        }
        break;
    case Event::revealed:
        if (stage_ == Stage::committed) {
            next = Stage::awaitingPerson;
        }
        break;
    case Event::revealFailed:
        if (stage_ == Stage::committed) {
            next = Stage::proven;
        }
        break;
    case Event::cardShown:
        if (!version2 && oneOf(stage_, {Stage::helloVerified, Stage::awaitingPerson})) {
            next = Stage::awaitingPerson;
        }
        break;
    case Event::authorised:
        if (oneOf(stage_,
                  {Stage::helloVerified, Stage::proven, Stage::committed, Stage::awaitingPerson})) {
            next = Stage::authorised;
        }
        break;
    case Event::refused:
        if (stage_ != Stage::authorised) {
            next = Stage::refused;
        }
        break;
    }
    if (!next) {
        qCDebug(bridgeLog) << "handshake event" << static_cast<int>(event) << "does not fit stage"
                           << static_cast<int>(stage_);
        return false;
    }
    stage_ = *next;
    // An attempt's nonces mean nothing outside it.
    if (stage_ != Stage::committed) {
        pairing.reset();
    }
    return true;
}

bool DeviceHandshake::keyProven() const {
    return oneOf(stage_, {Stage::helloVerified, Stage::proven, Stage::committed,
                          Stage::awaitingPerson, Stage::authorised});
}

const std::string* DeviceHandshake::givenName() const {
    return remoteHello   ? &remoteHello->displayName
           : remoteOffer ? &remoteOffer->displayName
                         : nullptr;
}

} // namespace tarnwick
