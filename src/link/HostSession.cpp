#include "link/HostSession.h"

#include "link/LinkLog.h"
#include "link/LinkWire.h"

#include <QSslSocket>
#include <QWebSocket>

namespace tarnwick {

namespace {

// How long a finished session waits for its connection to close before cutting it.
constexpr std::chrono::seconds closingGrace{5};

} // namespace

HostSession::HostSession(QSslSocket* socket, PeerHandle peer, SessionTimings timings,
                         QObject* parent)
    : QObject(parent), peer_(std::move(peer)), timings_(timings), socket_(socket),
      handshake_(QStringLiteral("Tarnwick Bridge"), QWebSocketServer::NonSecureMode),
      keepalive_(timings.pingInterval, timings.peerTimeout) {
    socket->setParent(this);
    deadline_.setSingleShot(true);
    // The upgrade picks the first subprotocol in the device's list that is one of these: a
    // device that lists "tarnwick.v2" ahead of "tarnwick.v1" gets version 2, one that offers
    // only "tarnwick.v1" (or nothing) gets version 1.
    handshake_.setSupportedSubprotocols(
        {QString::fromUtf8(linkwire::subprotocolV2.data(), linkwire::subprotocolV2.size()),
         QString::fromUtf8(linkwire::subprotocol.data(), linkwire::subprotocol.size())});
    // The session's own deadline ends a stalled handshake; the server's is only a backstop.
    handshake_.setHandshakeTimeout(timings.handshakeTimeout * 2);
    connect(&handshake_, &QWebSocketServer::newConnection, this, &HostSession::upgraded);
    connect(&keepalive_, &SessionKeepalive::pingDue, this, [this] {
        if (webSocket_) {
            webSocket_->ping();
        }
    });
    connect(&keepalive_, &SessionKeepalive::expired, this, [this] {
        if (socket_) {
            socket_->abort();
        }
        endReason_ = "the device stopped answering";
        end();
    });
}

HostSession::~HostSession() = default;

void HostSession::begin() {
    if (!socket_ || socket_->state() != QAbstractSocket::ConnectedState) {
        endReason_ = "the connection was gone before its upgrade";
        end();
        return;
    }
    connect(socket_, &QSslSocket::disconnected, this, &HostSession::end);
    connect(socket_, &QSslSocket::readyRead, &keepalive_, &SessionKeepalive::heard);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        if (socket_) {
            socket_->abort();
        }
        endReason_ = "the upgrade took too long";
        end();
    });
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
    webSocket->setMaxAllowedIncomingFrameSize(linkwire::maxBlockSize);
    webSocket->setMaxAllowedIncomingMessageSize(linkwire::maxBlockSize);
    connect(webSocket, &QWebSocket::binaryMessageReceived, this, &HostSession::blockReceived);
    connect(webSocket, &QWebSocket::textMessageReceived, this,
            [this](const QString& text) { emit blockReceived(text.toUtf8()); });
    connect(webSocket, &QWebSocket::disconnected, this, &HostSession::end);
    const bool version2 = webSocket->subprotocol() ==
                          QLatin1String(linkwire::subprotocolV2.data(),
                                        static_cast<qsizetype>(linkwire::subprotocolV2.size()));
    peer_->settleProtocolVersion(version2 ? 2 : 1, PeerVersionKey{});
    state_ = PeerState::connected;
    qCDebug(linkLog) << "Session with" << peer_->displayName().c_str() << "opened, subprotocol"
                     << webSocket->subprotocol();
    keepalive_.start();
    emit stateChanged(PeerState::connected);
}

Expected<void, Error> HostSession::send(const QByteArray& bytes) {
    if (state_ != PeerState::connected || !webSocket_) {
        return Unexpected(Error{"Peer " + peer_->displayName() + " is not connected."});
    }
    const qint64 sent = webSocket_->sendBinaryMessage(bytes);
    if (sent != bytes.size()) {
        return Unexpected(Error{"Sending to " + peer_->displayName() +
                                " failed: " + webSocket_->errorString().toStdString()});
    }
    return {};
}

void HostSession::close(const QString& reason) {
    if (state_ == PeerState::notConnected) {
        return;
    }
    if (webSocket_) {
        webSocket_->close(QWebSocketProtocol::CloseCodeNormal, reason);
    } else if (socket_) {
        socket_->abort();
    }
    endReason_ = "the bridge closed it";
    end();
}

void HostSession::end() {
    if (state_ == PeerState::notConnected) {
        return;
    }
    state_ = PeerState::notConnected;
    qCDebug(linkLog) << "Session with" << peer_->displayName().c_str() << "closed:" << endReason_;
    keepalive_.stop();
    deadline_.stop();
    if (webSocket_) {
        disconnect(webSocket_, nullptr, this, nullptr);
    }
    emit stateChanged(PeerState::notConnected);
    deleteWhenClosed();
}

void HostSession::deleteWhenClosed() {
    if (!socket_ || socket_->state() == QAbstractSocket::UnconnectedState) {
        deleteLater();
        return;
    }
    connect(socket_, &QSslSocket::disconnected, this, &QObject::deleteLater);
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
