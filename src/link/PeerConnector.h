#pragma once

#include "link/PeerHandle.h"
#include "link/PeerState.h"
#include "link/SessionKeepalive.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QString>
#include <QTimer>

#include <chrono>
#include <string>

class QWebSocket;

namespace tarnwick {

struct PeerConnectorOptions {
    // Offer the link's WebSocket subprotocol in the invitation.
    bool offerSubprotocol = true;
    // Offer handshake version 2 ("tarnwick.v2") ahead of version 1 as well.
    bool offerVersion2 = false;
    // Time for the TCP connection, TLS handshake and WebSocket upgrade together.
    std::chrono::milliseconds handshakeTimeout{10000};
    std::chrono::milliseconds pingInterval{15000};
    std::chrono::milliseconds peerTimeout{45000};
};

// The device side of a link session: opens a TLS WebSocket session to a host by address and
// port, invites it under a display name and then carries byte blocks both ways. States go
// connecting, connected, not connected, each reported once per session on the main thread.
// It reports through Qt signals (the style of every QObject of the link).
// One connector holds at most one session; opening again ends the current one first.
class PeerConnector : public QObject {
    Q_OBJECT
public:
    explicit PeerConnector(PeerConnectorOptions options = {}, QObject* parent = nullptr);
    ~PeerConnector() override;

    // Fails without any state change when the display name is not one a host accepts.
    Expected<void, Error> open(const QString& host, quint16 port, const std::string& displayName);
    // Opens a session to a host found by a client-mode link.
    Expected<void, Error> open(const PeerHandle& discoveredHost, const std::string& displayName);
    // Ends the session with a normal close; not connected is reported at once.
    void close();
    // Sends one byte block as one binary message.
    Expected<void, Error> send(const QByteArray& bytes);

    PeerState state() const { return state_; }
    // The subprotocol the host agreed to; empty when none.
    QString subprotocol() const;
    // The TLS certificate the host presented on this session, once connected (null before).
    const QSslCertificate& peerCertificate() const { return peerCertificate_; }
    // How the last session ended: the close code the host gave (0 when it gave none) and the
    // reason or error text.
    int closeCode() const { return closeCode_; }
    QString endReason() const { return endReason_; }

signals:
    void stateChanged(PeerState state);
    // One byte block from the host, only while connected.
    void dataReceived(const QByteArray& bytes);

private:
    void opened();
    void ended();
    void setState(PeerState state);

    PeerConnectorOptions options_;
    PeerState state_ = PeerState::notConnected;
    QPointer<QWebSocket> webSocket_;
    SessionKeepalive keepalive_;
    QTimer deadline_;
    int closeCode_ = 0;
    quint64 session_ = 0;
    QString endReason_;
    QSslCertificate peerCertificate_;
};

} // namespace tarnwick
