#pragma once

#include <string_view>

namespace tarnwick {

// How far the owner has come with one session. Until a peer is authorised the link keeps what
// it may cost small: short messages only, and a deadline for reaching the next stage.
enum class SessionStage {
    handshaking,  // from connect until the owner knows who the peer is (every session starts here)
    awaitingUser, // the owner shows the user a pairing request from this peer
    authorised,   // the peer proved to be a trusted device
};

// Why a session ended, as the link saw it.
enum class SessionEnd {
    closed,           // the peer closed it, or the connection broke
    closedByOwner,    // the owner closed it
    tooLarge,         // a message over what the session's stage allows (close code 1009)
    unanswered,       // pings went unanswered for the peer timeout
    handshakeOverdue, // the upgrade, or the owner's handshake, took longer than allowed
    pairingOverdue,   // the pairing request stood longer than allowed
    notReading,       // the peer stopped reading what it was sent (close code 1008)
    displaced,        // closed to make room for a newer connection from a crowded address
};

// The reason in words, for developers' diagnostics.
constexpr std::string_view describe(SessionEnd end) {
    switch (end) {
    case SessionEnd::closed:
        return "the connection closed";
    case SessionEnd::closedByOwner:
        return "the bridge closed it";
    case SessionEnd::tooLarge:
        return "a message was too large";
    case SessionEnd::unanswered:
        return "the device stopped answering";
    case SessionEnd::handshakeOverdue:
        return "the handshake took too long";
    case SessionEnd::pairingOverdue:
        return "the pairing request expired";
    case SessionEnd::notReading:
        return "the device was not reading";
    case SessionEnd::displaced:
        return "it made room for a newer connection";
    }
    return "?";
}

} // namespace tarnwick
