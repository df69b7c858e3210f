#pragma once

#include "bridge/DeviceHandshake.h"
#include "link/PeerHandle.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// What the bridge knows about one connection from a device. There is one record per peer
// handle; it opens when the link reports the connection and closes with it, so nothing of one
// connection survives into the next, and nothing of it is shared with another connection,
// whatever name either gave. The record alone decides what the connection may do.
struct PeerSession {
    PeerHandle peer;
    // The handshake version the link negotiated for the connection (1 or 2).
    int protocolVersion = 1;
    // While the connection is proving itself or pairing: how far it has come. Destroyed when
    // it is authorised, so that nothing it sends afterwards reaches handshake code.
    std::unique_ptr<DeviceHandshake> handshake;
    // The trusted device ID it was authorised as: it may relay requests, receive events and
    // receive and answer approval questions. Set only by a handshake with a trusted key or by
    // the user's Pair; once set on a connection it never changes there, and a forget clears it.
    std::optional<std::string> deviceID;
    // The name its hello or offer gave, kept from the handshake when it was authorised.
    std::string givenName;

    bool authorized() const { return deviceID.has_value(); }
    bool refused() const {
        return handshake && handshake->stage() == DeviceHandshake::Stage::refused;
    }

    // The names the connection goes by: the one it connected under and the one its hello or
    // offer gave, once that is in.
    std::vector<std::string_view> names() const {
        std::vector<std::string_view> all{peer->displayName()};
        const std::string* given = handshake ? handshake->givenName() : &givenName;
        if (given && !given->empty() && *given != all.front()) {
            all.emplace_back(*given);
        }
        return all;
    }
};

} // namespace tarnwick
