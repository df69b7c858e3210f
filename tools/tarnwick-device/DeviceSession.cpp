#include "tarnwick-device/DeviceSession.h"

#include "link/CertificateFingerprint.h"
#include "link/LinkWire.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace tarnwick {

std::string certificateLines(std::string_view hex) {
    constexpr std::string_view label = "Bridge certificate SHA-256: ";
    // 16 pairs and their colons, the last one included.
    constexpr std::size_t firstLine = 16 * 3;
    std::string grouped = groupedFingerprint(hex);
    if (grouped.size() > firstLine) {
        grouped.insert(firstLine, "\n" + std::string(label.size(), ' '));
    }
    return std::string(label) + grouped;
}

namespace {

// Connecting covers the TCP connection, TLS, the invitation, both offers and both proofs.
constexpr std::chrono::milliseconds connectTime{30000};
constexpr std::chrono::milliseconds verdictTime{30000};
constexpr const char* readyPing = "tarnwick-device-ready";

} // namespace

DeviceSession::DeviceSession(const DeviceIdentity& identity, std::string displayName,
                             RememberedBridgeStore& store, std::ostream& errors)
    : device_(identity, std::move(displayName), BridgeDevice::Handshake::version2), store_(store),
      errors_(errors) {
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

SeenBridge DeviceSession::seenBridge() const {
    const auto& offer = device_.bridgeOffer();
    return SeenBridge{offer ? offer->deviceID : std::string(),
                      offer ? offer->publicKey : std::string(), device_.certificateSeen(),
                      device_.certificateKeySeen()};
}

std::optional<DeviceFailure> DeviceSession::judgeOffer(KeyPolicy policy) {
    using Recognition = RememberedBridgeStore::Recognition;
    const std::string where = address_.toString();
    const std::string name = device_.bridgeOffer()->displayName;
    recognition_ = store_.recognise(seenBridge());
    const char* changed = nullptr;
    if (recognition_ == Recognition::keyChanged) {
        changed = "KEY";
    } else if (recognition_ == Recognition::certificateChanged) {
        changed = "CERTIFICATE KEY";
    }
    if (!changed) {
        return std::nullopt;
    }
    errors_ << "WARNING: THE BRIDGE \"" << name << "\" AT " << where << " PRESENTS ANOTHER "
            << changed << " THAN WHEN THIS DEVICE PAIRED WITH IT.\n"
            << "WARNING: Someone may be pretending to be that bridge.\n"
            << certificateLines(device_.certificateSeen()) << "\n"
            << std::flush;
    if (policy == KeyPolicy::acceptChangedKey) {
        return std::nullopt;
    }
    return DeviceFailure{ExitStatus::keyChanged,
                         "Not talking to this bridge. If its key changed for a good reason (it "
                         "was set up again), pair again with: tarnwick-device pair --replace " +
                             where};
}

Expected<void, DeviceFailure> DeviceSession::open(const BridgeAddress& address, KeyPolicy policy) {
    using Recognition = RememberedBridgeStore::Recognition;
    address_ = address;
    recognition_ = Recognition::unknown;
    const std::string where = address.toString();
    std::optional<DeviceFailure> refused;
    // Goes before the locals its connection captures.
    QObject judging;
    QObject::connect(&device_, &BridgeDevice::bridgeOfferReceived, &judging, [&] {
        refused = judgeOffer(policy);
        if (refused) {
            device_.refuse(refused->text);
        }
    });
    auto opened = device_.connectTo(QString::fromStdString(address.host), address.port);
    if (!opened) {
        return Unexpected(
            DeviceFailure{ExitStatus::unreachable,
                          "Could not connect to " + where + ": " + opened.error().description});
    }
    // Until the connection is up the state is "connecting", which waitFor does not stop at.
    bool ready = waitFor([&] { return device_.bridgeProven() || device_.refusal(); }, connectTime);
    if (refused) {
        return Unexpected(*refused);
    }
    if (const auto& refusal = device_.refusal()) {
        errors_ << "WARNING: THE BRIDGE AT " << where << " DID NOT PROVE WHO IT IS: " << *refusal
                << "\nWARNING: Someone may be between this device and the bridge.\n"
                << std::flush;
        return Unexpected(DeviceFailure{ExitStatus::keyChanged,
                                        "Not talking to this bridge: this device sent it "
                                        "nothing signed."});
    }
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

    // The bridge's proof covers the certificate of this connection: a renewed certificate of
    // the paired bridge, or the first one seen since a version-1 pairing, is pinned now.
    if (recognition_ == Recognition::certificateRenewed ||
        recognition_ == Recognition::certificateNew) {
        store_.saveCertificate(device_.certificateSeen(), device_.certificateKeySeen());
        errors_ << "Note: the bridge \"" << device_.bridgeOffer()->displayName << "\" "
                << (recognition_ == Recognition::certificateRenewed
                        ? "renewed its certificate with the same key"
                        : "proved its certificate for the first time")
                << "; this device now expects it.\n"
                << certificateLines(device_.certificateSeen()) << "\n"
                << std::flush;
    }

    if (auto told = awaitVerdict(); !told) {
        device_.disconnect();
        return told;
    }
    if (device_.isAccepted()) {
        store_.saveAddress(address);
    }
    return {};
}

Expected<void, DeviceFailure> DeviceSession::awaitVerdict() {
    // Once the proofs are in, the bridge says which it is: accepted (with the ceiling after),
    // or not trusted yet.
    const bool told = waitFor(
        [&] { return (device_.isAccepted() && device_.ceiling()) || device_.keyNotTrusted(); },
        verdictTime);
    if (!told) {
        return Unexpected(stoppedAnswering());
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
        return Unexpected(stoppedAnswering());
    }
    return {};
}

DeviceFailure DeviceSession::stoppedAnswering() const {
    return {ExitStatus::bridgeGone, "The bridge at " + address_.toString() + " stopped answering."};
}

Expected<JSONValue, DeviceFailure> DeviceSession::call(const std::string& method,
                                                       std::optional<JSONValue> params) {
    std::optional<BridgeDevice::Answer> answer;
    device_.request(method, std::move(params),
                    [&answer](BridgeDevice::Answer result) { answer = std::move(result); });
    waitFor([&] { return answer.has_value(); });
    if (!answer) {
        return Unexpected(endFailure(BridgeDevice::goneText));
    }
    if (!answer->hasValue()) {
        // A request that the end of the session failed fails as the session ended (forgotten,
        // say), not as the bridge refused it.
        if (answer->error().message == BridgeDevice::goneText) {
            return Unexpected(endFailure(BridgeDevice::goneText));
        }
        return Unexpected(failureFor(answer->error()));
    }
    return std::move(*answer).value();
}

DeviceFailure DeviceSession::endFailure(const std::string& goneText) const {
    if (device_.wasForgotten()) {
        return {ExitStatus::notPaired, std::string(linkwire::forgottenReason)};
    }
    switch (device_.endCode()) {
    case linkwire::closeForgotten:
        return {ExitStatus::notPaired, std::string(linkwire::forgottenReason)};
    case linkwire::closeReplaced:
        return {ExitStatus::bridgeGone, std::string(linkwire::replacedReason)};
    default:
        return {ExitStatus::bridgeGone, goneText};
    }
}

DeviceFailure DeviceSession::failureFor(const ErrorBody& refusal) {
    if (refusal.is(ErrorCode::notPaired) || refusal.is(ErrorCode::forgotten)) {
        return {ExitStatus::notPaired, refusal.message};
    }
    // Not the bridge's refusal: the device's own word that the session ended first.
    if (refusal.code.empty() && refusal.message == BridgeDevice::goneText) {
        return {ExitStatus::bridgeGone, refusal.message};
    }
    return {ExitStatus::failed, refusal.message};
}

} // namespace tarnwick
