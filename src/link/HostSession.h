#pragma once

#include "link/PeerHandle.h"
#include "link/PeerState.h"
#include "link/SessionKeepalive.h"
#include "link/SessionOutbox.h"
#include "link/SessionStage.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWebSocketProtocol>
#include <QWebSocketServer>

#include <chrono>
#include <cstddef>

class QSslSocket;
class QWebSocket;

namespace tarnwick {

struct SessionTimings {
    std::chrono::milliseconds handshakeTimeout{10000};
    std::chrono::milliseconds pingInterval{15000};
    std::chrono::milliseconds peerTimeout{45000};
    // How long a connected session may stay handshaking, and awaiting the user.
    std::chrono::milliseconds helloTimeout{10000};
    std::chrono::milliseconds pairingTimeout{5 * 60 * 1000};
    // How long bytes may wait for the peer to read any of them.
    std::chrono::milliseconds writeStallTimeout{10000};
};

// Bytes a session keeps for a peer that reads slower than it is sent to, beyond the block
// being written (see SessionOutbox).
inline constexpr std::size_t sessionBacklogLimit = 8 * 1024 * 1024;

// One device's session on the host, from an admitted invitation to the end: the WebSocket
// upgrade over the device's TLS connection, byte blocks both ways, and the keepalive.
// It starts connecting, becomes connected when the WebSocket is open and reports not
// connected exactly once, however it ends, and why. Afterwards it deletes itself as soon as its
// connection has closed.
//
// What a peer may cost depends on the stage its owner sets: until it is authorised, messages
// are at most linkwire::maxUnauthorisedBlockSize (a larger one is refused from its frame header,
// before it is buffered) and each stage has a deadline. Liveness is an answered ping, not any
// byte: a peer that sends but never reads is not alive.
class HostSession : public QObject {
    Q_OBJECT
public:
    // Takes ownership of `socket`, whose invitation header is still unread.
    HostSession(QSslSocket* socket, PeerHandle peer, SessionTimings timings,
                QObject* parent = nullptr);
    ~HostSession() override;

    const PeerHandle& peer() const { return peer_; }
    PeerState state() const { return state_; }
    SessionStage stage() const { return stage_; }
    // Why the session ended; meaningful once it is not connected.
    SessionEnd endReason() const { return endReason_; }

    // Answers the invitation with the WebSocket upgrade.
    void begin();
    // Sends one byte block as one binary message, after those still waiting. A peer that does
    // not read them is closed with code 1008 (SessionEnd::notReading).
    Expected<void, Error> send(const QByteArray& bytes);
    // Bytes sent that wait for the peer to read what went before them (SessionOutbox).
    std::size_t waitingBytes() const { return outbox_.waitingBytes(); }
    // Applies the limits and deadline of `stage`; its deadline counts from now.
    void setStage(SessionStage stage);
    // Ends the session now with a WebSocket close; not connected is reported at once.
    void close(QWebSocketProtocol::CloseCode code, const QString& reason,
               SessionEnd why = SessionEnd::closedByOwner);

signals:
    void stateChanged(tarnwick::PeerState state);
    void blockReceived(const QByteArray& bytes);
    // Nothing waits any more for the peer to read (see waitingBytes).
    void eased();

private:
    void upgraded();
    void applyStage();
    void sendPing();
    void ponged(const QByteArray& payload);
    // Ends the session and drops the connection without a close frame.
    void cut(SessionEnd why);
    void end(SessionEnd why);
    void connectionClosed();
    void deleteWhenClosed();

    PeerHandle peer_;
    SessionTimings timings_;
    PeerState state_ = PeerState::connecting;
    SessionStage stage_ = SessionStage::handshaking;
    SessionEnd endReason_ = SessionEnd::closed;
    QPointer<QSslSocket> socket_;
    QWebSocketServer handshake_;
    QPointer<QWebSocket> webSocket_;
    SessionKeepalive keepalive_;
    SessionOutbox outbox_;
    QByteArray pingTokens_[2]; // the latest ping's payload and the one before
    QTimer deadline_;
    QTimer stageDeadline_;
};

} // namespace tarnwick
