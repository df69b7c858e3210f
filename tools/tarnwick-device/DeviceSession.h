#pragma once

#include "device/BridgeDevice.h"
#include "tarnwick-device/BridgeAddress.h"
#include "tarnwick-device/RememberedBridge.h"

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

namespace tarnwick {

// The exit statuses of tarnwick-device.
enum class ExitStatus : int {
    done = 0,
    failed = 1,
    usage = 2,
    unreachable = 3,
    notPaired = 4,
    bridgeGone = 5,
    keyChanged = 6,
};

// "Bridge certificate SHA-256: " and the fingerprint of `hex` (lowercase hex) in two lines of
// 16 pairs, the second under the first, so that no terminal 80 wide splits a pair.
std::string certificateLines(std::string_view hex);

// Why a command could not do its work, and the status it ends with.
struct DeviceFailure {
    ExitStatus status = ExitStatus::failed;
    std::string text;
};

// One connection to a bridge with handshake version 2, run to a point where commands can work:
// connected, the bridge's offer checked against the paired bridge's key and certificate before
// this device says anything, both proofs exchanged, and the bridge's verdict on this device
// known. Waits run the event loop of the calling (main) thread.
class DeviceSession {
public:
    // What to do when the paired bridge's device ID comes with another key or certificate key.
    enum class KeyPolicy { refuseChangedKey, acceptChangedKey };

    DeviceSession(const DeviceIdentity& identity, std::string displayName,
                  RememberedBridgeStore& store, std::ostream& errors);

    Expected<void, DeviceFailure> open(const BridgeAddress& address,
                                       KeyPolicy policy = KeyPolicy::refuseChangedKey);
    // Waits until the bridge has handled everything this device sent so far: it answers a
    // ping only after the messages before it.
    Expected<void, DeviceFailure> settle();
    // Sends one request and waits for its answer.
    Expected<JSONValue, DeviceFailure> call(const std::string& method,
                                            std::optional<JSONValue> params);

    BridgeDevice& device() { return device_; }
    // How the bridge of this session compares with the remembered one.
    RememberedBridgeStore::Recognition recognition() const { return recognition_; }
    // The bridge as this session saw it: its offer and the certificate presented.
    SeenBridge seenBridge() const;
    const BridgeAddress& address() const { return address_; }
    bool connected() const { return device_.state() == PeerState::connected; }

    // Runs the event loop until `done` holds, the session ends or the time (when given) is up.
    // Returns whether `done` holds.
    bool waitFor(const std::function<bool()>& done,
                 std::optional<std::chrono::milliseconds> timeout = std::nullopt);

    // Sorts a refusal from the bridge, by its code, or a failure to get an answer into a
    // failure with its exit status.
    static DeviceFailure failureFor(const ErrorBody& refusal);
    // Why the session ended, when the bridge said (this device was forgotten, or another of
    // its sessions took this one's place); else that the bridge went away, with `goneText`.
    DeviceFailure endFailure(const std::string& goneText) const;

private:
    // Waits until the bridge has said whether it trusts this device: accepted (and the ceiling
    // in), or not trusted yet.
    Expected<void, DeviceFailure> awaitVerdict();
    DeviceFailure stoppedAnswering() const;

    BridgeDevice device_;
    RememberedBridgeStore& store_;
    std::ostream& errors_;
    // Decides, before this device offers itself, whether the bridge's offer is one to answer.
    std::optional<DeviceFailure> judgeOffer(KeyPolicy policy);

    BridgeAddress address_;
    std::string problem_;
    RememberedBridgeStore::Recognition recognition_ = RememberedBridgeStore::Recognition::unknown;
};

} // namespace tarnwick
