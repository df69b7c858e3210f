#pragma once

#include "link/PeerHandle.h"
#include "link/PeerState.h"
#include "link/SessionKeepalive.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWebSocketServer>

#include <chrono>

class QSslSocket;
class QWebSocket;

namespace tarnwick {

struct SessionTimings {
    std::chrono::milliseconds handshakeTimeout{10000};
    std::chrono::milliseconds pingInterval{15000};
    std::chrono::milliseconds peerTimeout{45000};
};

// One device's session on the host, from an admitted invitation to the end: the WebSocket
// upgrade over the device's TLS connection, byte blocks both ways, and the keepalive.
// It starts connecting, becomes connected when the WebSocket is open and reports not
// connected exactly once, however it ends. Afterwards it deletes itself as soon as its
// connection has closed.
class HostSession : public QObject {
    Q_OBJECT
public:
    // Takes ownership of `socket`, whose invitation header is still unread.
    HostSession(QSslSocket* socket, PeerHandle peer, SessionTimings timings,
                QObject* parent = nullptr);
    ~HostSession() override;

    const PeerHandle& peer() const { return peer_; }
    PeerState state() const { return state_; }

    // Answers the invitation with the WebSocket upgrade.
    void begin();
    // Sends one byte block as one binary message.
    Expected<void, Error> send(const QByteArray& bytes);
    // Ends the session now with a normal WebSocket close; not connected is reported at once.
    void close(const QString& reason);

signals:
    void stateChanged(tarnwick::PeerState state);
    void blockReceived(const QByteArray& bytes);

private:
    void upgraded();
    void end();
    void deleteWhenClosed();

    PeerHandle peer_;
    SessionTimings timings_;
    // Why the session ended, for the diagnostics.
    const char* endReason_ = "the connection closed";
    PeerState state_ = PeerState::connecting;
    QPointer<QSslSocket> socket_;
    QWebSocketServer handshake_;
    QPointer<QWebSocket> webSocket_;
    SessionKeepalive keepalive_;
    QTimer deadline_;
};

} // namespace tarnwick
