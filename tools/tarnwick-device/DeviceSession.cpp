#include "tarnwick-device/DeviceSession.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace tarnwick {

namespace {

// Connecting covers the TCP connection, TLS, the invitation and both hellos.
constexpr std::chrono::milliseconds connectTime{30000};
constexpr std::chrono::milliseconds verdictTime{30000};
constexpr const char* readyPing = "tarnwick-device-ready";

} // namespace

DeviceSession::DeviceSession(const DeviceIdentity& identity, std::string displayName,
                             RememberedBridgeStore& store, std::ostream& errors)
    : device_(identity, std::move(displayName)), store_(store), errors_(errors) {
    QObject::connect(&device_, &BridgeDevice::problemFound, &device_,
                     [this](const std::string& problem) { problem_ = problem; });
}

bool DeviceSession::waitFor(const std::function<bool()>& done,
                            std::optional<std::chrono::milliseconds> timeout) {
    QElapsedTimer clock;
    clock.start();
    QTimer wake;
    wake.start(50);
    QEventLoop loop;
    while (!done()) {
        if (device_.state() == PeerState::notConnected) {
            return done();
        }
        if (timeout && clock.elapsed() >= timeout->count()) {
            return false;
        }
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

Expected<void, DeviceFailure> DeviceSession::open(const BridgeAddress& address, KeyPolicy policy) {
    address_ = address;
    const std::string where = address.toString();
    auto opened = device_.connectTo(QString::fromStdString(address.host), address.port);
    if (!opened) {
        return Unexpected(
            DeviceFailure{ExitStatus::unreachable,
                          "Could not connect to " + where + ": " + opened.error().description});
    }
    // Until the connection is up the state is "connecting", which waitFor does not stop at.
    bool ready = waitFor([&] { return device_.pairingCode().has_value(); }, connectTime);
    if (!ready) {
        std::string reason = device_.endReason();
        if (reason.empty()) {
            reason = problem_.empty() ? "it did not introduce itself in time." : problem_;
        }
        device_.disconnect();
        return Unexpected(
            DeviceFailure{ExitStatus::unreachable,
                          "Could not connect to the bridge at " + where + ": " + reason});
    }

    const HelloPayload& bridge = *device_.bridgeHello();
    if (store_.recognise(bridge) == RememberedBridgeStore::Recognition::keyChanged) {
        errors_ << "WARNING: THE BRIDGE \"" << bridge.displayName << "\" AT " << where
                << " PRESENTS ANOTHER KEY THAN WHEN THIS DEVICE PAIRED WITH IT.\n"
                << "WARNING: Someone may be pretending to be that bridge.\n";
        if (policy == KeyPolicy::refuseChangedKey) {
            device_.disconnect();
            return Unexpected(DeviceFailure{
                ExitStatus::keyChanged,
                "Not talking to this bridge. If its key changed for a good reason (it was set up "
                "again), pair again with: tarnwick-device pair --replace " +
                    where});
        }
    }

    // The bridge answers in order: a trusted device's acceptance comes before the pong.
    if (auto settled = settle(); !settled) {
        device_.disconnect();
        return settled;
    }
    if (device_.isAccepted()) {
        store_.saveAddress(address);
    }
    return {};
}

Expected<void, DeviceFailure> DeviceSession::settle() {
    bool ponged = false;
    const auto listening = QObject::connect(&device_, &BridgeDevice::messageReceived, &device_,
                                            [&ponged](const BridgeMessage& message) {
                                                if (message.kind == BridgeMessageKind::response &&
                                                    message.id == readyPing) {
                                                    ponged = true;
                                                }
                                            });
    device_.ping(std::string(readyPing));
    const bool answered = waitFor([&] { return ponged; }, verdictTime);
    QObject::disconnect(listening);
    if (!answered) {
        return Unexpected(
            DeviceFailure{ExitStatus::bridgeGone,
                          "The bridge at " + address_.toString() + " stopped answering."});
    }
    return {};
}

Expected<JSONValue, DeviceFailure> DeviceSession::call(const std::string& method,
                                                       std::optional<JSONValue> params) {
    std::optional<BridgeDevice::Answer> answer;
    device_.request(method, std::move(params),
                    [&answer](BridgeDevice::Answer result) { answer = std::move(result); });
    waitFor([&] { return answer.has_value(); });
    if (!answer) {
        return Unexpected(failureFor(BridgeDevice::goneText));
    }
    if (!answer->hasValue()) {
        return Unexpected(failureFor(answer->error()));
    }
    return std::move(*answer).value();
}

DeviceFailure DeviceSession::failureFor(const std::string& text) {
    if (text == "Pair this device first.") {
        return {ExitStatus::notPaired, text};
    }
    if (text == BridgeDevice::goneText) {
        return {ExitStatus::bridgeGone, text};
    }
    return {ExitStatus::failed, text};
}

} // namespace tarnwick
