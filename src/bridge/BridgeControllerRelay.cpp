// Device requests to the app-server and back, notifications to every authorised device, and the
// app-server's approval questions to one device and its decision back.
#include "bridge/BridgeController.h"
#include "bridge/DeviceText.h"

#include <QPointer>
#include <QUuid>

#include <array>

namespace tarnwick {

namespace {

constexpr std::array<std::string_view, 9> methodAllowlist = {
    "thread/list", "thread/read",    "thread/start", "thread/resume", "turn/start",
    "turn/steer",  "turn/interrupt", "model/list",   "account/read",
};

constexpr std::array<std::string_view, 2> approvalMethods = {
    "item/commandExecution/requestApproval",
    "item/fileChange/requestApproval",
};

JSONValue declineResult() {
    return JSONObject{{"decision", "decline"}};
}

std::string newBridgeRequestID() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
}

} // namespace

bool BridgeController::isAllowlisted(std::string_view method) {
    return std::find(methodAllowlist.begin(), methodAllowlist.end(), method) !=
           methodAllowlist.end();
}

bool BridgeController::isApprovalMethod(std::string_view method) {
    return std::find(approvalMethods.begin(), approvalMethods.end(), method) !=
           approvalMethods.end();
}

void BridgeController::handleRequest(const BridgeMessage& message, const PeerHandle& peer) {
    auto refuse = [&](const char* reason) {
        (void)sendMessage(makeMessage(BridgeMessageKind::error, message.id, {}, JSONValue(reason)),
                          peer);
    };
    if (!authorizedPeerNames_.contains(peer->displayName())) {
        refuse("Pair this device first.");
        return;
    }
    if (!message.id || !message.method || !isAllowlisted(*message.method)) {
        refuse("That method is not available through Tarnwick.");
        return;
    }
    JSONValue params = message.body ? *message.body : JSONValue(JSONObject{});
    QPointer<BridgeController> self(this);
    std::string id = *message.id;
    neighbours_.appServer->request(
        *message.method, std::move(params), [self, id, peer](Expected<JSONValue, Error> outcome) {
            if (!self) {
                return;
            }
            BridgeMessage answer =
                outcome ? makeMessage(BridgeMessageKind::response, id, {}, std::move(*outcome))
                        : makeMessage(BridgeMessageKind::error, id, {},
                                      JSONValue(outcome.error().description));
            if (auto sent = self->sendMessage(answer, peer); !sent) {
                self->log("Could not reply to " + boundedDeviceText(peer->displayName()) + ": " +
                          sent.error().description);
            }
        });
}

void BridgeController::relayEvent(const std::string& method, const JSONValue& params) {
    broadcast(makeMessage(BridgeMessageKind::event, {}, method, params));
}

void BridgeController::handleServerRequest(const JSONValue& id, const std::string& method,
                                           const JSONValue& params) {
    if (!isApprovalMethod(method)) {
        neighbours_.appServer->respondError(id,
                                            "Tarnwick Bridge does not implement " + method + ".");
        return;
    }
    PeerHandle chosen;
    for (const auto& peer : neighbours_.link->connectedPeers()) {
        if (authorizedPeerNames_.contains(peer->displayName())) {
            chosen = peer;
            break;
        }
    }
    if (!chosen) {
        neighbours_.appServer->respond(id, declineResult());
        return;
    }
    std::string bridgeID = newBridgeRequestID();
    pendingServerRequests_[bridgeID] = id;
    if (auto sent = sendMessage(
            makeMessage(BridgeMessageKind::serverRequest, bridgeID, method, params), chosen);
        !sent) {
        pendingServerRequests_.erase(bridgeID);
        neighbours_.appServer->respond(id, declineResult());
    }
}

void BridgeController::handleServerResponse(const BridgeMessage& message, const PeerHandle& peer) {
    if (!authorizedPeerNames_.contains(peer->displayName()) || !message.id) {
        return;
    }
    auto pending = pendingServerRequests_.find(*message.id);
    if (pending == pendingServerRequests_.end()) {
        return;
    }
    JSONValue appServerID = std::move(pending->second);
    pendingServerRequests_.erase(pending);
    neighbours_.appServer->respond(std::move(appServerID),
                                   message.body ? *message.body : declineResult());
}

} // namespace tarnwick
