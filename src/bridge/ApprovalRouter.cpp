#include "bridge/ApprovalRouter.h"

#include "bridge/BridgeLog.h"

#include <QUuid>

#include <algorithm>
#include <array>
#include <utility>

namespace tarnwick {

namespace {

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

ApprovalRouter::ApprovalRouter(BridgeAppServer& appServer, const PeerSessions& sessions,
                               const DeviceSender& sender)
    : appServer_(appServer), sessions_(sessions), sender_(sender) {}

bool ApprovalRouter::isApprovalMethod(std::string_view method) {
    return std::find(approvalMethods.begin(), approvalMethods.end(), method) !=
           approvalMethods.end();
}

void ApprovalRouter::handleServerRequest(const JSONValue& id, const std::string& method,
                                         const JSONValue& params) {
    // The bridge has no way to show other questions; an error tells Codex so instead of leaving
    // it waiting.
    if (!isApprovalMethod(method)) {
        appServer_.respondError(id, "Tarnwick Bridge does not implement " + method + ".");
        return;
    }
    // Only a paired device is shown what Codex wants to run; with none at hand the safe answer
    // is no.
    const std::vector<PeerHandle> authorized = sender_.authorizedPeers();
    if (authorized.empty()) {
        appServer_.respond(id, declineResult());
        return;
    }
    const PeerHandle& chosen = authorized.front();
    // A fresh random id: the device never sees the app-server's numbering, so it cannot answer
    // a question it was not asked by guessing the next number.
    std::string bridgeID = newBridgeRequestID();
    pending_[bridgeID] = id;
    if (auto sent = sender_.send(
            makeMessage(BridgeMessageKind::serverRequest, bridgeID, method, params), chosen);
        !sent) {
        qCDebug(bridgeLog) << "approval question not delivered, declined:"
                           << sent.error().description.c_str();
        pending_.erase(bridgeID);
        appServer_.respond(id, declineResult());
    }
}

void ApprovalRouter::handleServerResponse(const BridgeMessage& message, const PeerHandle& peer) {
    // A device that is not authorised must not approve anything, and an id that is not open
    // (never issued, already answered, or of a replaced process) answers nothing. All silent.
    if (!sessions_.isAuthorized(peer) || !message.id) {
        return;
    }
    auto pending = pending_.find(*message.id);
    if (pending == pending_.end()) {
        return;
    }
    JSONValue appServerID = std::move(pending->second);
    pending_.erase(pending);
    // The decision is passed on as the device gave it; without one the question is declined.
    appServer_.respond(std::move(appServerID), message.body ? *message.body : declineResult());
}

void ApprovalRouter::forgetOpenQuestions() {
    // The new process numbers its own questions from the start again (Codex's first is id 0),
    // so a late answer to an old question would answer a new one that no device has shown.
    pending_.clear();
}

} // namespace tarnwick
