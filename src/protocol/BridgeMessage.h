#pragma once

#include "json/JSONText.h"
#include "json/JSONValue.h"
#include "platform/Error.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tarnwick {

// What a bridge message is. Each case travels as its own name, compared case-sensitively.
enum class BridgeMessageKind {
    hello,
    pairingRequest,
    pairingAccepted,
    pairingRejected,
    request,
    response,
    event,
    serverRequest,
    serverResponse,
    error,
    ping,
    // Handshake version 2 only.
    proof,
    pairingNonce,
    // Bridge to device: the most the device may ask Codex to do, after pairingAccepted and
    // whenever it changes.
    ceiling,
    // Version-2 sessions only: how an approval question the session was shown ended.
    serverRequestSettled,
    // Bridge to device, version 2: the device's proof verified, but its key is not trusted yet;
    // the device may ask to pair.
    notTrusted,
    // Bridge to device, version 2: the person forgot this device on the computer; the session
    // is closed right after.
    forgotten,
};

std::string_view wireString(BridgeMessageKind kind);
std::optional<BridgeMessageKind> bridgeMessageKindFromWire(std::string_view text);

// The envelope of everything that passes between the bridge and a device: one compact JSON
// object per byte block.
struct BridgeMessage {
    std::int64_t version = 1;
    BridgeMessageKind kind = BridgeMessageKind::ping;
    std::optional<std::string> id;
    std::optional<std::string> method;
    std::optional<JSONValue> body;

    // Compact JSON; absent fields are left out. Fails only when the body holds a number that is
    // not finite (or is nested too deeply).
    Expected<std::string, Error> encode() const;
    // The encoding with `body` in place of the body member, handed to `append` piece by piece
    // (std::string_view) so that a large body is copied once, straight to where it goes.
    template <typename Append>
    void encodeWithBody(const JSONText& bodyText, Append&& append) const;
    static Expected<BridgeMessage, Error> decode(std::string_view bytes);

    friend bool operator==(const BridgeMessage&, const BridgeMessage&) = default;

private:
    // Everything before the body: `{"version":…,"kind":…` and the id and method when present.
    std::string encodeHead() const;
};

template <typename Append>
void BridgeMessage::encodeWithBody(const JSONText& bodyText, Append&& append) const {
    append(std::string_view(encodeHead()));
    append(std::string_view(",\"body\":"));
    append(bodyText.text());
    append(std::string_view("}"));
}

// A message of the protocol version this program speaks: how both ends build what they send.
inline BridgeMessage makeMessage(BridgeMessageKind kind, std::optional<std::string> id = {},
                                 std::optional<std::string> method = {},
                                 std::optional<JSONValue> body = {}) {
    return BridgeMessage{1, kind, std::move(id), std::move(method), std::move(body)};
}

} // namespace tarnwick
