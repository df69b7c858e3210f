#pragma once

#include "link/LinkWire.h"
#include "link/PeerHandle.h"
#include "link/SessionStage.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <QByteArray>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// How the bridge ends a session: a normal close, a close for a peer that broke the rules
// (a WebSocket "policy violation"), or one of the link's own codes a device acts on: its
// device was forgotten, or a newer session of the device took its place.
enum class SessionClose : std::uint16_t {
    normal = 1000,
    policyViolation = 1008,
    forgotten = linkwire::closeForgotten,
    replaced = linkwire::closeReplaced,
};

// What the controller uses of the peer link: its events, its connected peers in order, sending
// one block to one peer, starting it, and its one-line status for the window. A block is a
// QByteArray so that one block sent to many peers is shared, not copied.
class BridgeLink {
public:
    struct Handlers {
        std::function<void(std::string_view bytes, const PeerHandle& peer)> data;
        std::function<void(const PeerHandle& peer)> connected;
        std::function<void(const PeerHandle& peer)> disconnected;
        std::function<void()> statusChanged;
        // Why a session is about to end; `disconnected` follows.
        std::function<void(const PeerHandle& peer, SessionEnd reason)> ended;
        // Nothing waits any more for the peer to read (see waitingBytes).
        std::function<void(const PeerHandle& peer)> eased;
    };

    virtual ~BridgeLink() = default;
    virtual void setHandlers(Handlers handlers) = 0;
    virtual std::vector<PeerHandle> connectedPeers() const = 0;
    virtual Expected<void, Error> send(const QByteArray& bytes, const PeerHandle& peer) = 0;
    // Bytes sent to the peer that wait for it to read what went before them.
    virtual std::size_t waitingBytes(const PeerHandle& peer) const {
        (void)peer;
        return 0;
    }
    virtual void start() = 0;
    virtual std::string statusText() const = 0;
    // The SHA-256 of the DER of the TLS certificate devices see, lowercase hex; "" when the
    // link has none (not started, or a stand-in).
    virtual std::string certificateFingerprint() const { return {}; }
    // The same of this computer's certificate authority, which a phone may install to verify
    // the computer; "" without one.
    virtual std::string authorityFingerprint() const { return {}; }
    // The address of the page a phone on the local network opens, "https://<address>:<port>/";
    // "" when the link does not listen (not started, or a stand-in).
    virtual std::string webAddress() const { return {}; }
    // Tells the link how far a session has come, so that it bounds what an unauthorised peer
    // may cost (message size, time to reach the next stage).
    virtual void setSessionStage(const PeerHandle& peer, SessionStage stage) = 0;
    // Ends one session with the close code `how`; `ended` and `disconnected` follow at once.
    virtual void closeSession(const PeerHandle& peer, const std::string& reason,
                              SessionClose how) = 0;
};

} // namespace tarnwick
