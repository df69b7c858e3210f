#include "bridge/ApprovalRouter.h"

#include "bridge/BridgeLog.h"
#include "bridge/OfferedDecisions.h"

#include <QUuid>

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace tarnwick {

namespace {

using namespace std::chrono_literals;

constexpr std::array<std::string_view, 2> approvalMethods = {
    "item/commandExecution/requestApproval",
    "item/fileChange/requestApproval",
};
constexpr const char* unofferedDecision = "Codex did not offer that decision for this question.";
// The waiting questions are looked at at least this often, so that a clock that jumps (or a
// test's clock) is followed within a second.
constexpr std::chrono::milliseconds longestWaitTick = 1s;

JSONValue declineResult() {
    return JSONObject{{"decision", "decline"}};
}

JSONValue outcome(std::string_view how) {
    return JSONObject{{"outcome", std::string(how)}};
}

std::string newBridgeRequestID() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
}

} // namespace

ApprovalRouter::ApprovalRouter(BridgeAppServer& appServer, PeerSessions& sessions,
                               const DeviceSender& sender, ActivityLog log, NameShown nameShown,
                               Clock clock, QObject* parent)
    : QObject(parent), appServer_(appServer), sessions_(sessions), sender_(sender),
      log_(std::move(log)), nameShown_(std::move(nameShown)), clock_(std::move(clock)) {
    waitTimer_.setSingleShot(true);
    connect(&waitTimer_, &QTimer::timeout, this, &ApprovalRouter::declineOverdue);
    // Offered after the handshake's last message (pairingAccepted), which the handshake sends
    // after it authorised the session: queued, so the device has it before the questions.
    connect(&sessions_, &PeerSessions::authorized, this,
            [this](const PeerHandle& peer, const std::string&) {
                QTimer::singleShot(0, this, [this, peer] { sessionAuthenticated(peer); });
            });
    connect(&sessions_, &PeerSessions::authorizedNamesChanged, this,
            &ApprovalRouter::sessionsChanged);
}

bool ApprovalRouter::isApprovalMethod(std::string_view method) {
    return std::find(approvalMethods.begin(), approvalMethods.end(), method) !=
           approvalMethods.end();
}

std::chrono::steady_clock::time_point ApprovalRouter::now() const {
    return clock_ ? clock_() : std::chrono::steady_clock::now();
}

bool ApprovalRouter::anyDeviceConnected() const {
    return !sender_.authorizedPeers().empty();
}

void ApprovalRouter::handleServerRequest(const JSONValue& id, const std::string& method,
                                         const JSONText& params) {
    // The bridge has no way to show other questions; an error tells Codex so instead of leaving
    // it waiting.
    if (!isApprovalMethod(method)) {
        appServer_.respondError(id, "Tarnwick Bridge does not implement " + method + ".");
        return;
    }
    const std::vector<PeerHandle> peers = sender_.authorizedPeers();
    // Only a paired device is shown what Codex wants to run; the safe answer, when nobody will
    // be, is no. A process that floods questions gets its surplus declined.
    if ((peers.empty() && waitLimit_ == 0ms) || questions_.full()) {
        appServer_.respond(id, declineResult());
        return;
    }
    const JSONValue tree = params.value();
    // A fresh random id: the device never sees the app-server's numbering, so it cannot answer
    // a question it was not asked by guessing the next number.
    OpenQuestion asked;
    asked.bridgeID = newBridgeRequestID();
    asked.codexID = id;
    asked.method = method;
    asked.params = params;
    asked.threadID = QuestionContext::textOf(tree, "threadId");
    asked.turnID = QuestionContext::textOf(tree, "turnId");
    asked.askedAt = now();
    OpenQuestion& question = questions_.add(std::move(asked));
    context_.rememberFolder(question.threadID, QuestionContext::textOf(tree, "cwd"));
    if (peers.empty()) {
        startWaiting(question);
        armWaitTimer();
        return;
    }
    offer(question, peers);
    if (question.shownTo.empty() && !question.offeredToVersion1) {
        qCDebug(bridgeLog) << "approval question reached no device, declined";
        const std::string bridgeID = question.bridgeID;
        questions_.take(bridgeID);
        appServer_.respond(id, declineResult());
    }
}

void ApprovalRouter::offer(OpenQuestion& question, const std::vector<PeerHandle>& peers) {
    std::optional<QByteArray> version1Block;
    std::optional<QByteArray> version2Block;
    for (const PeerHandle& peer : peers) {
        const PeerSession* session = sessions_.find(peer);
        if (!session || !session->authorized()) {
            continue;
        }
        if (session->protocolVersion >= 2) {
            if (question.shownTo.contains(peer)) {
                continue;
            }
            if (!version2Block) {
                // Its params as Codex wrote them, and how long Codex has waited so far.
                const auto waited =
                    std::chrono::duration_cast<std::chrono::seconds>(now() - question.askedAt);
                const auto body = JSONText::fromText(
                    "{\"params\":" + std::string(question.params.text()) + ",\"waitedSeconds\":" +
                    std::to_string(std::max<long long>(0, waited.count())) + "}");
                if (!body) {
                    continue;
                }
                version2Block =
                    DeviceSender::encode(makeMessage(BridgeMessageKind::serverRequest,
                                                     question.bridgeID, question.method),
                                         *body);
            }
            if (sender_.send(*version2Block, peer)) {
                question.shownTo.insert(peer);
                if (session->deviceID) {
                    question.shownToDevices.insert(*session->deviceID);
                }
            }
        } else if (!question.offeredToVersion1) {
            if (!version1Block) {
                version1Block =
                    DeviceSender::encode(makeMessage(BridgeMessageKind::serverRequest,
                                                     question.bridgeID, question.method),
                                         question.params);
            }
            // The first version-1 session is the one asked, as before; whether it got the
            // question or not, no other version-1 session is.
            question.offeredToVersion1 = static_cast<bool>(sender_.send(*version1Block, peer));
            if (!question.offeredToVersion1) {
                break;
            }
        }
    }
}

void ApprovalRouter::sessionAuthenticated(const PeerHandle& peer) {
    const PeerSession* session = sessions_.find(peer);
    if (!session || !session->authorized() || !sender_.isConnected(peer)) {
        return;
    }
    if (session->protocolVersion >= 2 && session->deviceID) {
        tellWhatEndedMeanwhile(peer, *session->deviceID);
    }
    for (OpenQuestion& question : questions_.all()) {
        if (question.waitingSince) {
            question.waitingSince.reset();
            emit waitingEnded(question.bridgeID);
        }
    }
    // Oldest first, each under the id it had.
    for (OpenQuestion& question : questions_.all()) {
        offer(question, {peer});
    }
    armWaitTimer();
}

void ApprovalRouter::sessionsChanged() {
    // Sessions that ended are told nothing more; their handles need not be kept.
    for (OpenQuestion& question : questions_.all()) {
        std::erase_if(question.shownTo,
                      [&](const PeerHandle& peer) { return !sessions_.isAuthorized(peer); });
    }
    if (waitLimit_ == 0ms || anyDeviceConnected()) {
        return;
    }
    for (OpenQuestion& question : questions_.all()) {
        if (!question.waitingSince) {
            startWaiting(question);
        }
    }
    armWaitTimer();
}

void ApprovalRouter::startWaiting(OpenQuestion& question) {
    question.waitingSince = now();
    emit waitingStarted(context_.describe(question));
}

void ApprovalRouter::handleServerResponse(const BridgeMessage& message, const PeerHandle& peer) {
    // A device that is not authorised must not approve anything, and an id that is not open
    // (never issued, already settled, or of a replaced process) answers nothing. Version 1
    // hears nothing of it; version 2 is told why, the authorisation checked before the id so
    // that a stranger learns nothing of the questions.
    const PeerSession* session = sessions_.find(peer);
    const bool told = session && session->protocolVersion == 2;
    auto refuse = [&](ErrorCode code, std::string reason) {
        if (auto sent = sender_.sendError(peer, message.id, code, std::move(reason)); !sent) {
            qCDebug(bridgeLog) << "refusal not delivered:" << sent.error().description.c_str();
        }
    };
    if (!sessions_.isAuthorized(peer)) {
        if (told) {
            refuse(ErrorCode::notPaired, "Pair this device first.");
        }
        return;
    }
    OpenQuestion* question = message.id ? questions_.find(*message.id) : nullptr;
    if (!question) {
        if (told) {
            refuse(ErrorCode::noQuestion, "That question is not open any more.");
        }
        return;
    }
    // Without a body the question is declined; otherwise only a decision Codex offered passes,
    // and anything else leaves the question open for a real answer.
    JSONValue decision("decline");
    if (message.body) {
        std::optional<JSONValue> offered = offeredDecision(question->params.value(), *message.body);
        if (!offered) {
            refuse(ErrorCode::notOffered, unofferedDecision);
            return;
        }
        decision = std::move(*offered);
    }
    std::optional<OpenQuestion> answered = questions_.take(*message.id);
    settle(std::move(*answered),
           JSONObject{{"outcome", "answered"},
                      {"deviceName", nameShown_(peer->displayName())},
                      {"decision", decision}},
           JSONValue(JSONObject{{"decision", decision}}));
}

void ApprovalRouter::observeEvent(const std::string& method, const JSONText& params) {
    // Only these few are looked into; every other notification passes untouched.
    if (method == "serverRequest/resolved") {
        const JSONValue tree = params.value();
        const JSONValue* requestID = tree.member("requestId");
        if (!requestID) {
            return;
        }
        for (OpenQuestion& question : questions_.takeIf(
                 [&](const OpenQuestion& open) { return open.codexID == *requestID; })) {
            settle(std::move(question), outcome("withdrawn"), std::nullopt);
        }
    } else if (method == "turn/completed") {
        const JSONValue tree = params.value();
        const std::string threadID = QuestionContext::textOf(tree, "threadId");
        const JSONValue* turn = tree.member("turn");
        const std::string turnID = turn ? QuestionContext::textOf(*turn, "id") : std::string();
        // Ended or interrupted, the turn waits for nothing any more.
        for (OpenQuestion& question : questions_.takeIf([&](const OpenQuestion& open) {
                 return open.threadID == threadID &&
                        (turnID.empty() || open.turnID.empty() || open.turnID == turnID);
             })) {
            settle(std::move(question), outcome("withdrawn"), std::nullopt);
        }
        if (!anyDeviceConnected()) {
            emit turnEndedUnattended(threadID, context_.folderOf(threadID));
        }
    } else {
        context_.observe(method, params);
    }
}

void ApprovalRouter::appServerRestarting() {
    // The new process numbers its own questions from the start again (Codex's first is id 0),
    // so a late answer to an old question would answer a new one that no device has shown.
    for (OpenQuestion& question : questions_.takeIf([](const OpenQuestion&) { return true; })) {
        settle(std::move(question), outcome("restarted"), std::nullopt);
    }
}

void ApprovalRouter::setWaitLimit(WaitLimit limit) {
    waitLimit_ = limit;
    declineOverdue();
}

void ApprovalRouter::declineOverdue() {
    if (waitLimit_) {
        const auto at = now();
        for (OpenQuestion& question : questions_.takeIf([&](const OpenQuestion& open) {
                 return open.waitingSince && at - *open.waitingSince >= *waitLimit_;
             })) {
            const auto waited =
                std::chrono::duration<double, std::ratio<60>>(at - *question.waitingSince);
            const long long minutes = std::max<long long>(1, std::llround(waited.count()));
            log_("Declined " + QuestionContext::shownWhat(question) + " after waiting " +
                 std::to_string(minutes) + " min: no paired device came back.");
            settle(std::move(question), outcome("timedOut"), declineResult());
        }
    }
    armWaitTimer();
}

void ApprovalRouter::armWaitTimer() {
    std::optional<std::chrono::steady_clock::time_point> earliest;
    for (const OpenQuestion& question : questions_.all()) {
        if (question.waitingSince && (!earliest || *question.waitingSince < *earliest)) {
            earliest = question.waitingSince;
        }
    }
    if (!waitLimit_ || !earliest) {
        waitTimer_.stop();
        return;
    }
    const auto remaining =
        std::chrono::duration_cast<std::chrono::milliseconds>(*earliest + *waitLimit_ - now());
    waitTimer_.start(std::clamp(remaining, std::chrono::milliseconds(0), longestWaitTick));
}

void ApprovalRouter::settle(OpenQuestion question, const JSONValue& how,
                            const std::optional<JSONValue>& result) {
    if (result) {
        appServer_.respond(question.codexID, *result);
    }
    if (question.waitingSince) {
        emit waitingEnded(question.bridgeID);
    }
    const BridgeMessage settled =
        makeMessage(BridgeMessageKind::serverRequestSettled, question.bridgeID, {}, how);
    for (const PeerHandle& peer : question.shownTo) {
        (void)sender_.send(settled, peer);
    }
    // Told again when each device that was shown it next authenticates: a phone whose screen
    // locked may look connected here while what is sent to it is lost, and its next session
    // must not keep the card.
    if (!question.shownToDevices.empty()) {
        lateNotes_.push_back({question.bridgeID, how, std::move(question.shownToDevices)});
        if (lateNotes_.size() > maxLateNotes) {
            lateNotes_.pop_front();
        }
    }
}

void ApprovalRouter::tellWhatEndedMeanwhile(const PeerHandle& peer, const std::string& deviceID) {
    for (LateNote& note : lateNotes_) {
        if (note.devices.erase(deviceID) > 0) {
            (void)sender_.send(makeMessage(BridgeMessageKind::serverRequestSettled, note.bridgeID,
                                           {}, note.outcome),
                               peer);
        }
    }
    std::erase_if(lateNotes_, [](const LateNote& note) { return note.devices.empty(); });
}

} // namespace tarnwick
