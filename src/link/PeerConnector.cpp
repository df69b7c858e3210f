#include "link/PeerConnector.h"

#include "link/InvitationRequest.h"
#include "link/LinkLog.h"
#include "link/LinkTls.h"
#include "link/LinkWire.h"
#include "link/PercentEncoding.h"

#include <QHostAddress>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QUrl>
#include <QWebSocket>
#include <QWebSocketHandshakeOptions>

namespace tarnwick {

namespace {

QString qstring(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// wss://host:port/session?peer=<name>, with the name percent-encoded byte by byte.
QUrl sessionUrl(const QString& host, quint16 port, const std::string& displayName) {
    QHostAddress address;
    QByteArray authority;
    if (address.setAddress(host)) {
        authority = address.protocol() == QAbstractSocket::IPv6Protocol
                        ? '[' + host.toLatin1().replace("%", "%25") + ']'
                        : host.toLatin1();
    } else {
        authority = QUrl::toAce(host);
    }
    if (authority.isEmpty()) {
        return QUrl();
    }
    const QByteArray encoded = "wss://" + authority + ':' + QByteArray::number(port) +
                               QByteArray::fromStdString(std::string(linkwire::sessionPath)) + '?' +
                               QByteArray::fromStdString(std::string(linkwire::peerQueryKey)) +
                               '=' + QByteArray::fromStdString(percentEncode(displayName));
    return QUrl::fromEncoded(encoded, QUrl::StrictMode);
}

} // namespace

PeerConnector::PeerConnector(PeerConnectorOptions options, QObject* parent)
    : QObject(parent), options_(options), keepalive_(options.pingInterval, options.peerTimeout) {
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        endReason_ = QStringLiteral("The host did not answer in time.");
        if (webSocket_) {
            webSocket_->abort();
        }
        ended();
    });
    connect(&keepalive_, &SessionKeepalive::pingDue, this, [this] {
        if (webSocket_) {
            webSocket_->ping();
        }
    });
    connect(&keepalive_, &SessionKeepalive::expired, this, [this] {
        endReason_ = QStringLiteral("The host stopped answering.");
        if (webSocket_) {
            webSocket_->abort();
        }
        ended();
    });
}

PeerConnector::~PeerConnector() {
    if (webSocket_) {
        webSocket_->disconnect(this);
        webSocket_->abort();
    }
}

Expected<void, Error> PeerConnector::open(const QString& host, quint16 port,
                                          const std::string& displayName) {
    if (!isValidPeerDisplayName(displayName)) {
        return Unexpected(Error{"The display name \"" + displayName +
                                "\" cannot open a session: it must be 1 to 63 bytes of "
                                "UTF-8 without control characters."});
    }
    const QUrl url = sessionUrl(host, port, displayName);
    if (!url.isValid()) {
        return Unexpected(Error{"Not a host address: " + host.toStdString()});
    }
    close();

    const quint64 session = ++session_;
    auto* webSocket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    webSocket_ = webSocket;
    closeCode_ = 0;
    endReason_.clear();
    peerCertificate_.clear();
    webSocket->setSslConfiguration(deviceTlsConfiguration());
    webSocket->setMaxAllowedIncomingFrameSize(linkwire::maxBlockSize);
    webSocket->setMaxAllowedIncomingMessageSize(linkwire::maxBlockSize);
    connect(webSocket, &QWebSocket::connected, this, &PeerConnector::opened);
    // The socket reports its error just after it reports the disconnection: the end of the
    // session is taken in a moment, once both are known.
    connect(webSocket, &QWebSocket::disconnected, this, [this, webSocket, session] {
        closeCode_ = webSocket->closeCode();
        if (endReason_.isEmpty()) {
            endReason_ = webSocket->closeReason();
        }
        QMetaObject::invokeMethod(
            this,
            [this, session] {
                if (session == session_) {
                    ended();
                }
            },
            Qt::QueuedConnection);
    });
    connect(webSocket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
            [this, webSocket] {
                if (endReason_.isEmpty()) {
                    endReason_ = webSocket->errorString();
                }
            });
    connect(webSocket, &QWebSocket::binaryMessageReceived, this, [this](const QByteArray& bytes) {
        if (state_ == PeerState::connected) {
            emit dataReceived(bytes);
        }
    });
    connect(webSocket, &QWebSocket::textMessageReceived, this, [this](const QString& text) {
        if (state_ == PeerState::connected) {
            emit dataReceived(text.toUtf8());
        }
    });
    const auto heard = [this] { keepalive_.heard(); };
    connect(webSocket, &QWebSocket::pong, this, heard);
    connect(webSocket, &QWebSocket::binaryFrameReceived, this, heard);
    connect(webSocket, &QWebSocket::textFrameReceived, this, heard);

    QWebSocketHandshakeOptions handshake;
    if (options_.offerSubprotocol) {
        QStringList offered;
        if (options_.offerVersion2) {
            offered << qstring(linkwire::subprotocolV2);
        }
        offered << qstring(linkwire::subprotocol);
        handshake.setSubprotocols(offered);
    }
    setState(PeerState::connecting);
    deadline_.start(options_.handshakeTimeout);
    webSocket->open(QNetworkRequest(url), handshake);
    return {};
}

Expected<void, Error> PeerConnector::open(const PeerHandle& discoveredHost,
                                          const std::string& displayName) {
    if (!discoveredHost || !discoveredHost->endpoint()) {
        return Unexpected(Error{"The host has no resolved address."});
    }
    const PeerEndpoint& endpoint = *discoveredHost->endpoint();
    return open(QString::fromStdString(endpoint.host), endpoint.port, displayName);
}

void PeerConnector::opened() {
    if (state_ != PeerState::connecting) {
        return;
    }
    deadline_.stop();
    keepalive_.start();
    qCDebug(linkLog) << "Session to" << (webSocket_ ? webSocket_->peerAddress() : QHostAddress())
                     << "opened";
    if (webSocket_) {
        peerCertificate_ = webSocket_->sslConfiguration().peerCertificate();
    }
    setState(PeerState::connected);
}

void PeerConnector::close() {
    if (state_ == PeerState::notConnected) {
        return;
    }
    if (webSocket_) {
        webSocket_->close(QWebSocketProtocol::CloseCodeNormal);
    }
    ended();
}

// Reports the end of the session once; its socket finishes closing on its own and goes.
void PeerConnector::ended() {
    deadline_.stop();
    keepalive_.stop();
    if (QWebSocket* webSocket = webSocket_) {
        webSocket_ = nullptr;
        disconnect(webSocket, nullptr, this, nullptr);
        if (webSocket->state() == QAbstractSocket::UnconnectedState) {
            webSocket->deleteLater();
        } else {
            connect(webSocket, &QWebSocket::disconnected, webSocket, &QObject::deleteLater);
            QTimer::singleShot(std::chrono::seconds(5), webSocket, [webSocket] {
                webSocket->abort();
                webSocket->deleteLater();
            });
        }
    }
    if (state_ != PeerState::notConnected) {
        // The host's close reason is bounded by the WebSocket close frame.
        qCDebug(linkLog) << "Session ended, close code" << closeCode_ << "reason" << endReason_;
    }
    setState(PeerState::notConnected);
}

Expected<void, Error> PeerConnector::send(const QByteArray& bytes) {
    if (state_ != PeerState::connected || !webSocket_) {
        return Unexpected(Error{"The host is not connected."});
    }
    const qint64 sent = webSocket_->sendBinaryMessage(bytes);
    if (sent != bytes.size()) {
        return Unexpected(Error{"Sending failed: " + webSocket_->errorString().toStdString()});
    }
    return {};
}

QString PeerConnector::subprotocol() const {
    return webSocket_ ? webSocket_->subprotocol() : QString();
}

void PeerConnector::setState(PeerState state) {
    if (state == state_) {
        return;
    }
    state_ = state;
    emit stateChanged(state);
}

} // namespace tarnwick
