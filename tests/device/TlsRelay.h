#pragma once

// A man in the middle for tests: a TLS WebSocket host with a certificate of its own that opens a
// session to the real bridge for each device that connects, under the same display name and
// subprotocol, and passes every message along. It records what the devices sent and may rewrite
// the bridge's messages on the way, as an attacker on the network could.
#include "link/LinkTls.h"
#include "link/SelfSignedCertificate.h"

#include <QNetworkRequest>
#include <QWebSocket>
#include <QWebSocketHandshakeOptions>
#include <QWebSocketServer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tarnwick::testing {

class TlsRelay {
public:
    explicit TlsRelay(quint16 bridgePort)
        : bridgePort_(bridgePort), server_(QStringLiteral("relay"), QWebSocketServer::SecureMode) {
        auto identity = SelfSignedCertificate::make("Relay");
        EXPECT_TRUE(identity.hasValue());
        if (identity) {
            server_.setSslConfiguration(hostTlsConfiguration(*identity));
            certificate_ = identity->certificate;
        }
        server_.setSupportedSubprotocols(
            {QStringLiteral("tarnwick.v2"), QStringLiteral("tarnwick.v1")});
        EXPECT_TRUE(server_.listen(QHostAddress::LocalHost, 0));
        QObject::connect(&server_, &QWebSocketServer::newConnection, &server_, [this] {
            while (QWebSocket* device = server_.nextPendingConnection()) {
                relay(device);
            }
        });
    }

    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(server_.serverPort()); }
    const QSslCertificate& certificate() const { return certificate_; }

    // Every message the devices sent.
    std::vector<std::string> fromDevice;
    // Changes a message of the bridge on its way; the identity when unset.
    std::function<std::string(const std::string&)> rewriteFromBridge;

private:
    struct Pair {
        std::unique_ptr<QWebSocket> device;
        std::unique_ptr<QWebSocket> bridge;
    };

    void relay(QWebSocket* incoming) {
        pairs_.push_back(std::make_unique<Pair>());
        Pair* pair = pairs_.back().get();
        pair->device.reset(incoming);
        pair->bridge = std::make_unique<QWebSocket>();
        QWebSocket* device = pair->device.get();
        QWebSocket* bridge = pair->bridge.get();
        bridge->setSslConfiguration(deviceTlsConfiguration());

        // A device speaks only after the bridge's offer, so the bridge's end is open by then.
        QObject::connect(device, &QWebSocket::binaryMessageReceived, device,
                         [this, bridge](const QByteArray& bytes) {
                             fromDevice.push_back(bytes.toStdString());
                             bridge->sendBinaryMessage(bytes);
                         });
        QObject::connect(bridge, &QWebSocket::binaryMessageReceived, bridge,
                         [this, device](const QByteArray& bytes) {
                             device->sendBinaryMessage(
                                 rewriteFromBridge ? QByteArray::fromStdString(
                                                         rewriteFromBridge(bytes.toStdString()))
                                                   : bytes);
                         });
        QObject::connect(device, &QWebSocket::disconnected, bridge, [bridge] { bridge->close(); });
        QObject::connect(bridge, &QWebSocket::disconnected, device, [device] { device->close(); });

        QUrl target = device->requestUrl();
        target.setScheme(QStringLiteral("wss"));
        target.setHost(QStringLiteral("127.0.0.1"));
        target.setPort(bridgePort_);
        QWebSocketHandshakeOptions handshake;
        handshake.setSubprotocols({device->subprotocol()});
        bridge->open(QNetworkRequest(target), handshake);
    }

    quint16 bridgePort_;
    QWebSocketServer server_;
    QSslCertificate certificate_;
    std::vector<std::unique_ptr<Pair>> pairs_;
};

// Replaces every occurrence of `from` in `text` with `to`.
inline std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; !from.empty() && (at = text.find(from, at)) != std::string::npos;
         at += to.size()) {
        text.replace(at, from.size(), to);
    }
    return text;
}

} // namespace tarnwick::testing
