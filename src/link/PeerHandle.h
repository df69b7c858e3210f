#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace tarnwick {

// Where a host found on the local network can be reached: the resolved address (text form,
// an IPv6 link-local address carries its "%interface" scope), the port and the TXT record.
struct PeerEndpoint {
    std::string host;
    std::uint16_t port = 0;
    std::map<std::string, std::string> txt;

    bool operator==(const PeerEndpoint&) const = default;
};

class HostSession;

// Lets only the host's session settle a peer's protocol version (see Peer).
class PeerVersionKey {
    friend class HostSession;
    PeerVersionKey() = default;
};

// One connected (or discovered) peer as the link knows it: an opaque object with a display
// name. Two handles are the same peer only when they point at the same object; a new
// connection is a new peer whatever its name. Hosts found by browsing also carry the
// endpoint they were resolved to; a host's sessions the address and port they came from.
class Peer {
public:
    explicit Peer(std::string displayName, std::optional<PeerEndpoint> endpoint = std::nullopt,
                  int protocolVersion = 1)
        : displayName_(std::move(displayName)), endpoint_(std::move(endpoint)),
          protocolVersion_(protocolVersion) {}
    const std::string& displayName() const { return displayName_; }
    const std::optional<PeerEndpoint>& endpoint() const { return endpoint_; }

    // The handshake version the connection's WebSocket subprotocol chose: 2 for
    // "tarnwick.v2", else 1. Settled by the host's session when the upgrade completes, before
    // the peer is reported connected; 1 until then. Main thread only.
    int protocolVersion() const { return protocolVersion_; }
    void settleProtocolVersion(int version, PeerVersionKey) const { protocolVersion_ = version; }

private:
    std::string displayName_;
    std::optional<PeerEndpoint> endpoint_;
    mutable int protocolVersion_;
};

using PeerHandle = std::shared_ptr<const Peer>;

} // namespace tarnwick
