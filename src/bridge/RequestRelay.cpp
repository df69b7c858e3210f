#include "bridge/RequestRelay.h"

#include "bridge/BridgeLog.h"
#include "bridge/DeviceText.h"
#include "link/LinkWire.h"

#include <QPointer>

#include <algorithm>
#include <array>
#include <utility>

namespace tarnwick {

namespace {

constexpr std::array<std::string_view, 9> methodAllowlist = {
    "thread/list", "thread/read",    "thread/start", "thread/resume", "turn/start",
    "turn/steer",  "turn/interrupt", "model/list",   "account/read",
};

// A block larger than a device takes would end its session (the device closes it as too big)
// and be asked for again on reconnecting; the device learns why instead.
bool fitsADevice(const QByteArray& block) {
    return static_cast<std::size_t>(block.size()) <= linkwire::maxBlockSize;
}

std::string mebibytes(std::size_t bytes) {
    return std::to_string((bytes + 1024 * 1024 - 1) / (1024 * 1024)) + " MiB";
}

} // namespace

RequestRelay::RequestRelay(BridgeAppServer& appServer, const PeerSessions& sessions,
                           const DeviceSender& sender, ActivityLog log, NameShown nameShown,
                           const CeilingCheck& ceilingCheck, CeilingFor ceilingFor, QObject* parent)
    : QObject(parent), appServer_(appServer), sessions_(sessions), sender_(sender),
      log_(std::move(log)), nameShown_(std::move(nameShown)), ceilingCheck_(ceilingCheck),
      ceilingFor_(std::move(ceilingFor)) {
    holdLimit_.setSingleShot(true);
    connect(&holdLimit_, &QTimer::timeout, this, [this] {
        for (const PeerHandle& peer : sender_.authorizedPeers()) {
            if (sender_.waitingBytes(peer) > holdAbove &&
                std::find(notWaitedFor_.begin(), notWaitedFor_.end(), peer) ==
                    notWaitedFor_.end()) {
                qCDebug(bridgeLog)
                    << "not waiting any more for" << boundedDeviceText(peer->displayName()).c_str();
                notWaitedFor_.push_back(peer);
            }
        }
        release();
    });
}

bool RequestRelay::isAllowlisted(std::string_view method) {
    return std::find(methodAllowlist.begin(), methodAllowlist.end(), method) !=
           methodAllowlist.end();
}

void RequestRelay::handleRequest(const BridgeMessage& message, const PeerHandle& peer) {
    // Refusals are answered (the device matches them by its id) but never reach the app-server.
    auto refuse = [&](ErrorCode code, std::string reason) {
        (void)sender_.sendError(peer, message.id, code, std::move(reason));
    };
    // Only a device that proved a trusted key, or that the user paired, drives Codex.
    if (!sessions_.isAuthorized(peer)) {
        refuse(ErrorCode::notPaired, "Pair this device first.");
        return;
    }
    // Even a paired device gets only the allowlist: no configuration, no commands run outside a
    // turn, no notifications to the app-server. Exact equality, so no case or spacing variant
    // and no prefix slips through.
    if (!message.id || !message.method || !isAllowlisted(*message.method)) {
        refuse(ErrorCode::notAllowed, "That method is not available through Tarnwick.");
        return;
    }
    JSONValue params = message.body ? *message.body : JSONValue(JSONObject{});
    // Where and how Codex runs is this computer's to bound: a request over the ceiling is
    // refused whole, and what it leaves out is filled in from the ceiling.
    const std::string& method = *message.method;
    const bool governed = CeilingCheck::governs(method);
    if (governed) {
        const DeviceCeiling ceiling = ceilingFor_(peer);
        auto held = ceilingCheck_.check(method, std::move(params), ceiling);
        std::optional<CeilingRefusal> over;
        if (!held) {
            over = std::move(held).error();
        } else {
            params = std::move(*held);
            // A turn runs with what its thread was given unless it says otherwise.
            const JSONValue* threadID = params.member("threadId");
            const LoadedThreads::Settings* thread = threadID && threadID->stringValue()
                                                        ? threads_.find(*threadID->stringValue())
                                                        : nullptr;
            if (thread && method.starts_with("turn/")) {
                over = ceilingCheck_.checkInherited(params, *thread, ceiling);
            }
        }
        if (over) {
            log_(nameShown_(peer->displayName()) + " asked for " + over->setting + " " +
                 over->asked + " in " + method + ", refused: " + over->reason);
            refuse(ErrorCode::outsideCeiling, over->reason);
            return;
        }
    }
    // The device's own id goes back with the answer; the app-server's numbering stays here.
    QPointer<RequestRelay> self(this);
    std::string id = *message.id;
    // How a started or resumed thread runs, and what a turn overrode for the turns after it.
    const bool opensThread = method == "thread/start" || method == "thread/resume";
    std::optional<JSONValue> turnParams;
    if (method == "turn/start") {
        turnParams = params;
    }
    appServer_.request(
        method, std::move(params),
        [self, id, peer, opensThread,
         turnParams = std::move(turnParams)](Expected<JSONText, Error> outcome) {
            if (!self) {
                return;
            }
            if (outcome && opensThread) {
                self->threads_.learnFromResult(outcome->value());
            } else if (outcome && turnParams) {
                self->threads_.learnFromTurn(*turnParams);
            }
            // The answer goes to the handle that asked, whatever became of its authority since:
            // it answers a request made while authorised. The result is written in as the text
            // the app-server sent (checked when it was read), not rebuilt.
            QByteArray answer;
            std::string failure;
            ErrorCode code = ErrorCode::codexError;
            if (outcome) {
                answer =
                    DeviceSender::encode(makeMessage(BridgeMessageKind::response, id), *outcome);
                if (!fitsADevice(answer)) {
                    failure = "The answer is too large for a device: " +
                              mebibytes(static_cast<std::size_t>(answer.size())) +
                              ", and a device takes at most " + mebibytes(linkwire::maxBlockSize) +
                              ".";
                    code = ErrorCode::tooLarge;
                    answer.clear();
                }
            } else {
                failure = outcome.error().description;
                if (failure == BridgeAppServer::notReadyText) {
                    code = ErrorCode::notReady;
                }
            }
            auto sent = failure.empty() ? self->sender_.send(answer, peer)
                                        : self->sender_.sendError(peer, id, code, failure);
            if (!sent) {
                self->log_("Could not reply to " + self->nameShown_(peer->displayName()) + ": " +
                           sent.error().description);
            }
            self->holdIfBehind({peer});
        });
}

void RequestRelay::relayEvent(const std::string& method, const JSONText& params) {
    // Connected devices that are not authorised learn nothing of what Codex is doing.
    const std::vector<PeerHandle> peers = sender_.authorizedPeers();
    if (peers.empty()) {
        return;
    }
    // Every device gets the same bytes: one block, shared.
    const QByteArray event =
        DeviceSender::encode(makeMessage(BridgeMessageKind::event, {}, method), params);
    if (!fitsADevice(event)) {
        log_("Did not pass " + boundedDeviceText(method) + " on to the devices: it is " +
             mebibytes(static_cast<std::size_t>(event.size())) + ", and a device takes at most " +
             mebibytes(linkwire::maxBlockSize) + ".");
        return;
    }
    for (const auto& peer : peers) {
        if (auto sent = sender_.send(event, peer); !sent) {
            qCDebug(bridgeLog) << "event" << method.c_str() << "not delivered to"
                               << boundedDeviceText(peer->displayName()).c_str() << ":"
                               << sent.error().description.c_str();
        }
    }
    holdIfBehind(peers);
}

void RequestRelay::peerEased(const PeerHandle& peer) {
    std::erase(notWaitedFor_, peer);
    releaseIfCaughtUp();
}

void RequestRelay::peerGone(const PeerHandle& peer) {
    std::erase(notWaitedFor_, peer);
    releaseIfCaughtUp();
}

bool RequestRelay::anyoneBehind(const std::vector<PeerHandle>& peers) const {
    return std::any_of(peers.begin(), peers.end(), [&](const PeerHandle& peer) {
        return sender_.waitingBytes(peer) > holdAbove &&
               std::find(notWaitedFor_.begin(), notWaitedFor_.end(), peer) == notWaitedFor_.end();
    });
}

void RequestRelay::holdIfBehind(const std::vector<PeerHandle>& peers) {
    if (holding_ || !anyoneBehind(peers)) {
        return;
    }
    holding_ = true;
    holdLimit_.start(maxHold);
    appServer_.holdOutput(true);
}

void RequestRelay::releaseIfCaughtUp() {
    if (holding_ && !anyoneBehind(sender_.authorizedPeers())) {
        release();
    }
}

void RequestRelay::release() {
    holding_ = false;
    holdLimit_.stop();
    appServer_.holdOutput(false);
}

} // namespace tarnwick
