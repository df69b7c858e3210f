#pragma once

#include "link/PeerHandle.h"
#include "link/PeerState.h"
#include "link/SessionStage.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWebSocketProtocol>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace tarnwick {

class AvahiBrowser;
class AvahiPublisher;
class LinkHost;
class WebContent;

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
    // Time a connected session has to leave the handshaking stage, and to stay awaiting the
    // user; time bytes may wait for a device that reads none of them (see setSessionStage).
    std::chrono::milliseconds helloTimeout{10000};
    std::chrono::milliseconds pairingTimeout{5 * 60 * 1000};
    std::chrono::milliseconds writeStallTimeout{10000};
    // Places for connections and sessions; LinkHostSettings says what each one counts.
    int maxSessions = 32;
    int maxPendingConnections = 32;
    int maxPendingPerAddress = 12;
    int maxUnauthorisedSessions = 24;
    int maxUnauthorisedPerAddress = 8;
    // Host mode: the file that keeps the TLS identity across starts (TlsIdentityStore). Empty:
    // a new identity for this run only, which no device can pin.
    std::string tlsIdentityPath;
    // Host mode: the web cockpit's files, served on the same port; null serves no page.
    std::shared_ptr<const WebContent> webContent;
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
    // Host mode: the SHA-256 of the DER of this computer's certificate authority, which signed
    // that certificate, lowercase hex; "" before the start and without a kept identity.
    const std::string& authorityFingerprint() const { return authorityFingerprint_; }
    // The address by which a phone on the local network reaches this computer, as it goes in a
    // URL: the IPv4 address of the first interface that is up, running and not a loopback;
    // else that interface's global IPv6 address in brackets; else "127.0.0.1". Asked afresh on
    // every call, since interfaces come and go.
    static std::string phoneAddress();

    // Starts listening and advertising (host) or browsing (client). Later calls do nothing.
    void start();
    // Sends one byte block to one connected peer. A peer that does not read what it is sent
    // is closed with code 1008 (sessionEnded with SessionEnd::notReading).
    Expected<void, Error> send(const QByteArray& bytes, const PeerHandle& peer);
    // Bytes sent to the peer that wait for it to read what went before them: the owner may
    // hold back what it would send next until peerEased.
    std::size_t waitingBytes(const PeerHandle& peer) const;
    // Host mode: tells the link how far the owner has come with a peer. Every session starts
    // handshaking: messages of at most 64 KiB, closed 10 s after connect unless the stage moves
    // on. awaitingUser: the same size limit, closed 5 minutes after it was set. authorised:
    // messages up to 16 MiB and no deadline. The size limit applies from the peer's next frame,
    // so authorise a peer before answering the message that proved who it is.
    void setSessionStage(const PeerHandle& peer, SessionStage stage);
    // Host mode: ends the peer's session with a WebSocket close frame of `code` and `reason`;
    // sessionEnded (SessionEnd::closedByOwner) and peerDisconnected follow at once, within this
    // call. Nothing happens for a peer that is not connected.
    void close(const PeerHandle& peer, QWebSocketProtocol::CloseCode code, const QString& reason);

signals:
    // Host mode: one byte block arrived from a connected peer.
    void dataReceived(const QByteArray& bytes, const PeerHandle& peer);
    void peerConnected(const PeerHandle& peer);
    void peerDisconnected(const PeerHandle& peer);
    // Host mode: why a session ended, emitted right before its peerDisconnected.
    void sessionEnded(const PeerHandle& peer, tarnwick::SessionEnd reason);
    // Host mode: nothing waits any more for the peer to read (see waitingBytes).
    void peerEased(const PeerHandle& peer);
    void statusTextChanged();
    void connectedPeersChanged();
    void discoveredPeersChanged();

private:
    void startHost();
    void startClient();
    void peerStateChanged(const PeerHandle& peer, PeerState state);
    void setStatusText(const QString& text);
    QString idleStatus() const;
    // The event's text, followed by why the bridge is not advertised when it is not.
    QString withAdvertising(const QString& event) const;
    void advertisingFailed(const QString& failure);

    PeerLinkMode mode_;
    PeerLinkOptions options_;
    std::string peerName_;
    QString statusText_;
    // Why the bridge is not announced over DNS-SD, with what to do about it; "" while it is.
    QString advertisingFailure_;
    std::vector<PeerHandle> connectedPeers_;
    std::vector<PeerHandle> discoveredPeers_;
    quint16 listeningPort_ = 0;
    std::string certificateFingerprint_;
    std::string authorityFingerprint_;
    bool started_ = false;
    QPointer<LinkHost> host_;
    QPointer<AvahiPublisher> publisher_;
    QPointer<AvahiBrowser> browser_;
};

} // namespace tarnwick
