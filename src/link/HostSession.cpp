#include "link/HostSession.h"

#include "link/LinkLog.h"
#include "link/LinkWire.h"

#include <QRandomGenerator>
#include <QSslSocket>
#include <QWebSocket>

namespace tarnwick {

namespace {

// How long a finished session waits for its connection to close before cutting it.
constexpr std::chrono::seconds closingGrace{5};

// What the socket may hold unread before the session is authorised: one largest frame with
// room for its header and a TLS record. Beyond it the system's window makes the peer wait.
constexpr qint64 unauthorisedReadBuffer = 2 * linkwire::maxUnauthorisedBlockSize;

} // namespace

HostSession::HostSession(QSslSocket* socket, PeerHandle peer, SessionTimings timings,
                         QObject* parent)
    : QObject(parent), peer_(std::move(peer)), timings_(timings), socket_(socket),
      handshake_(QStringLiteral("Tarnwick Bridge"), QWebSocketServer::NonSecureMode),
      keepalive_(timings.pingInterval, timings.peerTimeout),
      outbox_(sessionBacklogLimit, timings.writeStallTimeout) {
    socket->setParent(this);
    socket->setReadBufferSize(unauthorisedReadBuffer);
    deadline_.setSingleShot(true);
    // The upgrade picks the first subprotocol in the device's list that is one of these: a
    // device that lists "tarnwick.v2" ahead of "tarnwick.v1" gets version 2, one that offers
    // only "tarnwick.v1" (or nothing) gets version 1.
    stageDeadline_.setSingleShot(true);
    handshake_.setSupportedSubprotocols(
        {QString::fromUtf8(linkwire::subprotocolV2.data(), linkwire::subprotocolV2.size()),
         QString::fromUtf8(linkwire::subprotocol.data(), linkwire::subprotocol.size())});
    // The session's own deadline ends a stalled handshake; the server's is only a backstop.
    handshake_.setHandshakeTimeout(timings.handshakeTimeout * 2);
    connect(&handshake_, &QWebSocketServer::newConnection, this, &HostSession::upgraded);
    connect(&keepalive_, &SessionKeepalive::pingDue, this, &HostSession::sendPing);
    connect(&keepalive_, &SessionKeepalive::expired, this, [this] { cut(SessionEnd::unanswered); });
    connect(&outbox_, &SessionOutbox::stuck, this, [this] {
        close(QWebSocketProtocol::CloseCodePolicyViolated,
              QStringLiteral("The device is not reading."), SessionEnd::notReading);
    });
    connect(&outbox_, &SessionOutbox::eased, this, &HostSession::eased);
    connect(&stageDeadline_, &QTimer::timeout, this, [this] {
        if (stage_ == SessionStage::awaitingUser) {
            close(QWebSocketProtocol::CloseCodeNormal,
                  QStringLiteral("The pairing request expired."), SessionEnd::pairingOverdue);
        } else {
            close(QWebSocketProtocol::CloseCodePolicyViolated,
                  QStringLiteral("No handshake in time."), SessionEnd::handshakeOverdue);
        }
    });
}

HostSession::~HostSession() = default;

void HostSession::begin() {
    if (!socket_ || socket_->state() != QAbstractSocket::ConnectedState) {
        end(SessionEnd::closed);
        return;
    }
    connect(socket_, &QSslSocket::disconnected, this, &HostSession::connectionClosed);
    connect(&deadline_, &QTimer::timeout, this, [this] { cut(SessionEnd::handshakeOverdue); });
    deadline_.start(timings_.handshakeTimeout);
    handshake_.handleConnection(socket_);
}

void HostSession::upgraded() {
    QWebSocket* webSocket = handshake_.nextPendingConnection();
    if (!webSocket) {
        return;
    }
    webSocket->setParent(this);
    webSocket_ = webSocket;
    if (state_ != PeerState::connecting) {
        webSocket->abort();
        return;
    }
    deadline_.stop();
    // The server hands the WebSocket over before it reads any frame (Qt 6.4's server has no
    // limits of its own to give it), so the stage's limits hold from the first frame.
    connect(webSocket, &QWebSocket::binaryMessageReceived, this, &HostSession::blockReceived);
    connect(webSocket, &QWebSocket::textMessageReceived, this,
            [this](const QString& text) { emit blockReceived(text.toUtf8()); });
    const bool version2 = webSocket->subprotocol() ==
                          QLatin1String(linkwire::subprotocolV2.data(),
                                        static_cast<qsizetype>(linkwire::subprotocolV2.size()));
    peer_->settleProtocolVersion(version2 ? 2 : 1, PeerVersionKey{});
    connect(webSocket, &QWebSocket::pong, this,
            [this](quint64, const QByteArray& payload) { ponged(payload); });
    connect(webSocket, &QWebSocket::disconnected, this, &HostSession::connectionClosed);
    outbox_.attach(webSocket, socket_);
    state_ = PeerState::connected;
    qCDebug(linkLog) << "Session with" << peer_->displayName().c_str() << "opened, subprotocol"
                     << webSocket->subprotocol();
    applyStage();
    keepalive_.start();
    emit stateChanged(PeerState::connected);
}

void HostSession::setStage(SessionStage stage) {
    if (state_ == PeerState::notConnected) {
        return;
    }
    stage_ = stage;
    if (state_ == PeerState::connected) {
        applyStage();
    }
}

// Limits apply from the next frame on. An owner that authorises a peer does so before it
// answers the message that proved who the peer is, so nothing larger can be on its way yet.
void HostSession::applyStage() {
    const bool authorised = stage_ == SessionStage::authorised;
    const std::size_t largest =
        authorised ? linkwire::maxBlockSize : linkwire::maxUnauthorisedBlockSize;
    webSocket_->setMaxAllowedIncomingFrameSize(largest);
    webSocket_->setMaxAllowedIncomingMessageSize(largest);
    if (socket_) {
        socket_->setReadBufferSize(authorised ? 0 : unauthorisedReadBuffer);
    }
    switch (stage_) {
    case SessionStage::handshaking:
        stageDeadline_.start(timings_.helloTimeout);
        break;
    case SessionStage::awaitingUser:
        stageDeadline_.start(timings_.pairingTimeout);
        break;
    case SessionStage::authorised:
        stageDeadline_.stop();
        break;
    }
}

// Each ping carries a fresh random payload, and only a pong that echoes one of the last two
// counts: a peer cannot stay alive with pongs it sends unasked, without reading.
void HostSession::sendPing() {
    if (!webSocket_) {
        return;
    }
    const quint64 token = QRandomGenerator::global()->generate64();
    pingTokens_[1] = pingTokens_[0];
    pingTokens_[0] = QByteArray(reinterpret_cast<const char*>(&token), sizeof token);
    webSocket_->ping(pingTokens_[0]);
}

void HostSession::ponged(const QByteArray& payload) {
    if (!payload.isEmpty() && (payload == pingTokens_[0] || payload == pingTokens_[1])) {
        keepalive_.heard();
    }
}

Expected<void, Error> HostSession::send(const QByteArray& bytes) {
    if (state_ != PeerState::connected || !webSocket_) {
        return Unexpected(Error{"Peer " + peer_->displayName() + " is not connected."});
    }
    if (!outbox_.push(bytes)) {
        return Unexpected(
            Error{"Sending to " + peer_->displayName() + " failed: the device is not reading."});
    }
    return {};
}

// Both end the session before they touch the connection, whose own end would otherwise be
// reported first, as a plain close.
void HostSession::close(QWebSocketProtocol::CloseCode code, const QString& reason, SessionEnd why) {
    if (state_ == PeerState::notConnected) {
        return;
    }
    const QPointer<QWebSocket> webSocket = webSocket_;
    end(why);
    if (webSocket) {
        webSocket->close(code, reason);
    } else if (socket_) {
        socket_->abort();
    }
}

void HostSession::cut(SessionEnd why) {
    if (state_ == PeerState::notConnected) {
        return;
    }
    end(why);
    if (socket_) {
        socket_->abort();
    }
}

void HostSession::connectionClosed() {
    // Qt closes the WebSocket itself, with code 1009, when a message is over the limit.
    const bool tooLarge =
        webSocket_ && webSocket_->closeCode() == QWebSocketProtocol::CloseCodeTooMuchData;
    end(tooLarge ? SessionEnd::tooLarge : SessionEnd::closed);
}

void HostSession::end(SessionEnd why) {
    if (state_ == PeerState::notConnected) {
        return;
    }
    state_ = PeerState::notConnected;
    endReason_ = why;
    qCDebug(linkLog) << "Session with" << peer_->displayName().c_str()
                     << "closed:" << describe(why).data();
    keepalive_.stop();
    deadline_.stop();
    stageDeadline_.stop();
    outbox_.clear();
    if (webSocket_) {
        disconnect(webSocket_, nullptr, this, nullptr);
    }
    emit stateChanged(PeerState::notConnected);
    deleteWhenClosed();
}

// A closed QSslSocket reports disconnected while its connection still writes what was queued,
// the close frame last; the session stays until that is written (or the grace is over), so
// that a device that reads slowly still learns why it was closed.
void HostSession::deleteWhenClosed() {
    const auto deleteWhenFlushed = [this] {
        if (!socket_ || (socket_->state() == QAbstractSocket::UnconnectedState &&
                         socket_->encryptedBytesToWrite() == 0)) {
            deleteLater();
        }
    };
    if (!socket_ || socket_->state() == QAbstractSocket::UnconnectedState) {
        deleteLater();
        return;
    }
    disconnect(socket_, &QSslSocket::disconnected, this, nullptr);
    connect(socket_, &QSslSocket::disconnected, this, deleteWhenFlushed);
    connect(socket_, &QSslSocket::encryptedBytesWritten, this, deleteWhenFlushed);
    disconnect(&deadline_, nullptr, this, nullptr);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        if (socket_) {
            socket_->abort();
        }
        deleteLater();
    });
    deadline_.start(closingGrace);
}

} // namespace tarnwick
