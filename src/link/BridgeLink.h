#pragma once

#include "link/LinkWire.h"
#include "link/PeerHandle.h"
#include "link/SessionStage.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <QByteArray>

#include <cstdint>
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

// What the link reports to its owner, on the main thread. Each event is its own member, so
// that one cannot be given another's handler.
class LinkEvents {
public:
    virtual ~LinkEvents() = default;
    // One byte block arrived from a connected peer.
    virtual void received(std::string_view bytes, const PeerHandle& peer) = 0;
    virtual void connected(const PeerHandle& peer) = 0;
    // Why a session is about to end; `disconnected` follows at once.
    virtual void ended(const PeerHandle& peer, SessionEnd reason) = 0;
    virtual void disconnected(const PeerHandle& peer) = 0;
    // Nothing waits any more for the peer to read (see BridgeLink::waitingBytes).
    virtual void eased(const PeerHandle& peer) = 0;
    virtual void statusChanged() = 0;
};

// What the controller uses of the link to devices: its events, its connected peers in order,
// sending one block to one peer, starting it, and its one-line status for the window. A block
// is a QByteArray so that one block sent to many peers is shared, not copied.
class BridgeLink {
public:
    virtual ~BridgeLink() = default;
    // Where events go from now on; null: nowhere. The owner of `events` sets null before it
    // goes.
    virtual void setEvents(LinkEvents* events) = 0;
    virtual std::vector<PeerHandle> connectedPeers() const = 0;
    virtual Expected<void, Error> send(const QByteArray& bytes, const PeerHandle& peer) = 0;
    // Bytes sent to the peer that wait for it to read what went before them.
    virtual std::size_t waitingBytes(const PeerHandle& peer) const = 0;
    virtual void start() = 0;
    virtual std::string statusText() const = 0;
    // The SHA-256 of the DER of the TLS certificate devices see, lowercase hex; "" when the
    // link has none (not started, or a stand-in).
    virtual std::string certificateFingerprint() const = 0;
    // The same of this computer's certificate authority, which a phone may install to verify
    // the computer; "" without one.
    virtual std::string authorityFingerprint() const = 0;
    // The address of the page a phone on the local network opens, "https://<address>:<port>/";
    // "" when the link does not listen (not started, or a stand-in).
    virtual std::string webAddress() const = 0;
    // Tells the link how far a session has come, so that it bounds what an unauthorised peer
    // may cost (message size, time to reach the next stage).
    virtual void setSessionStage(const PeerHandle& peer, SessionStage stage) = 0;
    // Ends one session with the close code `how`; `ended` and `disconnected` follow at once.
    virtual void closeSession(const PeerHandle& peer, const std::string& reason,
                              SessionClose how) = 0;
};

} // namespace tarnwick
