#pragma once

// A byte pump between a device and the bridge on loopback, for a device that stops reading:
// TLS and everything above it pass through untouched, and pause() stops taking bytes from the
// bridge, so that the bridge's writes to that device stall as they do for a peer that is
// connected but no longer reads. The bridge answers only to its own port, so the pump listens
// on the bridge's port at IPv6 loopback while the bridge listens at 127.0.0.1.
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace tarnwick::testing {

class TcpPump {
public:
    explicit TcpPump(quint16 bridgePort) : bridgePort_(bridgePort) {
        listening_ = server_.listen(QHostAddress::LocalHostIPv6, bridgePort);
        QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
            while (QTcpSocket* device = server_.nextPendingConnection()) {
                pump(device);
            }
        });
    }

    // False where IPv6 loopback is missing or its port is taken.
    bool listening() const { return listening_; }

    // Takes nothing more from the bridge; the system buffers in between fill and stay full.
    void pause() { paused_ = true; }

private:
    struct Pair {
        std::unique_ptr<QTcpSocket> device;
        std::unique_ptr<QTcpSocket> bridge;
    };

    void pump(QTcpSocket* incoming) {
        pairs_.push_back(std::make_unique<Pair>());
        Pair* pair = pairs_.back().get();
        pair->device.reset(incoming);
        pair->bridge = std::make_unique<QTcpSocket>();
        QTcpSocket* device = pair->device.get();
        QTcpSocket* bridge = pair->bridge.get();
        // Small buffers, so that a pause stops the bridge's writes after little data.
        bridge->setReadBufferSize(16 * 1024);
        QObject::connect(device, &QTcpSocket::readyRead, bridge,
                         [device, bridge] { bridge->write(device->readAll()); });
        QObject::connect(bridge, &QTcpSocket::readyRead, device, [this, device, bridge] {
            if (!paused_) {
                device->write(bridge->readAll());
            }
        });
        QObject::connect(bridge, &QTcpSocket::connected, device, [device, bridge] {
            bridge->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 16 * 1024);
            bridge->write(device->readAll());
        });
        QObject::connect(device, &QTcpSocket::disconnected, bridge,
                         [bridge] { bridge->disconnectFromHost(); });
        QObject::connect(bridge, &QTcpSocket::disconnected, device,
                         [device] { device->disconnectFromHost(); });
        bridge->connectToHost(QHostAddress::LocalHost, bridgePort_);
    }

    quint16 bridgePort_;
    bool listening_ = false;
    bool paused_ = false;
    QTcpServer server_;
    std::vector<std::unique_ptr<Pair>> pairs_;
};

} // namespace tarnwick::testing
