#pragma once

#include "link/PeerHandle.h"
#include "link/PeerState.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <string>
#include <vector>

namespace tarnwick {

class AvahiBrowser;
class AvahiPublisher;
class LinkHost;

enum class PeerLinkMode { host, client };

struct PeerLinkOptions {
    // Host mode: the listening port (0: any free port) and where to listen.
    quint16 port = 47600;
    QHostAddress listenAddress = QHostAddress::Any;
    // Host mode: publish the service over DNS-SD.
    bool advertise = true;
    std::chrono::milliseconds pingInterval{15000};
    std::chrono::milliseconds peerTimeout{45000};
    // Time a new connection has for its TLS handshake, invitation and WebSocket upgrade.
    std::chrono::milliseconds handshakeTimeout{10000};
    int maxSessions = 32;
    int maxPendingConnections = 64;
    // Host mode: the file that keeps the TLS identity across starts (TlsIdentityStore). Empty:
    // a new identity for this run only, which no device can pin.
    std::string tlsIdentityPath;
};

// The bridge's way to devices on the local network. In host mode it listens for TLS
// WebSocket sessions, advertises itself over DNS-SD and reports each device's state; in client
// mode it browses for hosts. Everything it reports, it reports on the main thread, as Qt signals
// (the style of every QObject of the link): connect with a context object.
class PeerLink : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString statusText READ statusText NOTIFY statusTextChanged)
public:
    PeerLink(PeerLinkMode mode, std::string displayName, PeerLinkOptions options = {},
             QObject* parent = nullptr);
    ~PeerLink() override;

    PeerLinkMode mode() const { return mode_; }
    const std::vector<PeerHandle>& connectedPeers() const { return connectedPeers_; }
    const std::vector<PeerHandle>& discoveredPeers() const { return discoveredPeers_; }
    QString statusText() const { return statusText_; }
    // The display name, "-" and four hexadecimal digits, cut to what DNS-SD allows.
    const std::string& peerName() const { return peerName_; }
    // Host mode: the bound port once started, else 0.
    quint16 listeningPort() const { return listeningPort_; }
    // Host mode: the SHA-256 of the DER of the certificate it presents, lowercase hex, once
    // started; else "".
    const std::string& certificateFingerprint() const { return certificateFingerprint_; }

    // Starts listening and advertising (host) or browsing (client). Later calls do nothing.
    void start();
    // Sends one byte block to one connected peer.
    Expected<void, Error> send(const QByteArray& bytes, const PeerHandle& peer);

signals:
    // Host mode: one byte block arrived from a connected peer.
    void dataReceived(const QByteArray& bytes, const PeerHandle& peer);
    void peerConnected(const PeerHandle& peer);
    void peerDisconnected(const PeerHandle& peer);
    void statusTextChanged();
    void connectedPeersChanged();
    void discoveredPeersChanged();

private:
    void startHost();
    void startClient();
    void peerStateChanged(const PeerHandle& peer, PeerState state);
    void setStatusText(const QString& text);
    QString idleStatus() const;

    PeerLinkMode mode_;
    PeerLinkOptions options_;
    std::string peerName_;
    QString statusText_;
    std::vector<PeerHandle> connectedPeers_;
    std::vector<PeerHandle> discoveredPeers_;
    quint16 listeningPort_ = 0;
    std::string certificateFingerprint_;
    bool started_ = false;
    QPointer<LinkHost> host_;
    QPointer<AvahiPublisher> publisher_;
    QPointer<AvahiBrowser> browser_;
};

} // namespace tarnwick
