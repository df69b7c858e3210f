#pragma once

#include "link/BridgeLink.h"
#include "link/HostSession.h"
#include "link/PeerHandle.h"
#include "link/PeerState.h"
#include "link/SessionStage.h"
#include "link/WebAnswer.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWebSocketProtocol>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

class AvahiPublisher;
class InvitationReader;
class TlsListener;
class WebContent;
struct Invitation;
struct TlsIdentity;

// Everything the host is set up with. Places of the pending and unauthorised kinds are shared
// out by remote address (see AdmissionQuota): a full address gives up its own oldest idle place
// to its newcomer, a full host takes one from the address holding the most; so connections from
// one address that sit and do nothing never lock out devices from another, or its own.
struct LinkHostOptions {
    // The listening port (0: any free port) and where to listen.
    quint16 port = 47600;
    QHostAddress listenAddress = QHostAddress::Any;
    // Publish the service over DNS-SD.
    bool advertise = true;
    SessionTimings timings;
    // Authorised sessions. An invitation that arrives while this many are open gets HTTP 503.
    int maxSessions = 32;
    // Connections in their TLS handshake, invitation or WebSocket upgrade, and connections that
    // fetch the page (a browser opens about six at once, then the session).
    int maxPendingConnections = 32;
    int maxPendingPerAddress = 12;
    // Sessions open but not authorised (handshaking or awaiting the user).
    int maxUnauthorisedSessions = 24;
    int maxUnauthorisedPerAddress = 8;
    // The file that keeps the TLS identity across starts (TlsIdentityStore). Empty: a new
    // identity for this run only, which no device can pin.
    std::string tlsIdentityPath;
    // The web cockpit's files, served on the same port; null: none, every page request gets 404.
    std::shared_ptr<const WebContent> webContent;
};

// The bridge's side of the link to devices on the local network: listens for TLS connections,
// advertises itself over DNS-SD, reads invitations, admits devices into sessions and keeps
// those sessions, reporting each to its LinkEvents. Each session is its own peer whatever its
// name: two sessions may carry one display name, and which of them stays is the owner's call.
// Besides the places above, every session is bounded by its stage (HostSession) and by what
// it may owe its peer (SessionOutbox, 8 MiB). On the same port it serves the page of the web
// cockpit to requests under one of this computer's names (InvitationReader).
class LinkHost : public QObject, public BridgeLink {
    Q_OBJECT
public:
    LinkHost(std::string displayName, LinkHostOptions options, QObject* parent = nullptr);
    ~LinkHost() override;

    void setEvents(LinkEvents* events) override { events_ = events; }
    // Starts listening and advertising. Later calls do nothing.
    void start() override;
    // Sends one byte block as one message to one connected peer. A peer that does not read
    // what it is sent is closed with code 1008 (SessionEnd::notReading).
    Expected<void, Error> send(const QByteArray& bytes, const PeerHandle& peer) override;
    // Bytes sent to the peer that wait for it to read what went before them: the owner may
    // hold back what it would send next until `eased`. 0 for unknown peers.
    std::size_t waitingBytes(const PeerHandle& peer) const override;
    // Every session starts handshaking: messages of at most 64 KiB, closed 10 s after connect
    // unless the stage moves on. awaitingUser: the same size limit, closed 5 minutes after it
    // was set. authorised: messages up to 16 MiB and no deadline. The size limit applies from
    // the peer's next frame, so authorise a peer before answering the message that proved who
    // it is. Unknown peers are ignored.
    void setSessionStage(const PeerHandle& peer, SessionStage stage) override;
    // Ends the peer's session with a WebSocket close frame; `ended` (SessionEnd::closedByOwner)
    // and `disconnected` follow within this call. Nothing happens for a peer not connected.
    void closeSession(const PeerHandle& peer, const std::string& reason, SessionClose how) override;
    // Connected peers, in the order in which their invitations were admitted.
    std::vector<PeerHandle> connectedPeers() const override;
    std::string statusText() const override { return statusText_.toStdString(); }
    // The SHA-256 of the DER of the certificate it presents (and of the authority that signed
    // it), lowercase hex, once started; else "".
    std::string certificateFingerprint() const override { return certificateFingerprint_; }
    std::string authorityFingerprint() const override { return authorityFingerprint_; }
    std::string webAddress() const override;

    // The display name, "-" and four hexadecimal digits, cut to what DNS-SD allows.
    const std::string& peerName() const { return peerName_; }
    // The bound port once started, else 0.
    quint16 listeningPort() const { return listeningPort_; }
    // Sessions connecting or connected, and connections whose invitation is not read yet.
    std::size_t sessionCount() const { return sessions_.size(); }
    std::size_t pendingCount() const { return readers_.size(); }
    // The address by which a phone on the local network reaches this computer, as it goes in a
    // URL: the IPv4 address of the first interface that is up, running and not a loopback;
    // else that interface's global IPv6 address in brackets; else "127.0.0.1". Asked afresh on
    // every call, since interfaces come and go.
    static std::string phoneAddress();

private:
    struct PendingReader {
        QPointer<InvitationReader> reader;
        QHostAddress address;
        std::uint64_t serial = 0;
    };
    struct SessionEntry {
        QPointer<HostSession> session;
        QHostAddress address;
        std::uint64_t serial = 0;
    };

    Expected<quint16, Error> listen(const TlsIdentity& identity);
    void advertise();
    void connectionArrived(QSslSocket* socket);
    bool answersTo(std::string_view host);
    void readNames();
    bool makeRoomForPending(const QHostAddress& address);
    bool makeRoomForSession(const QHostAddress& address);
    void invitationRead(InvitationReader* reader, const Invitation& invitation);
    void readerFinished(InvitationReader* reader);
    void sessionStateChanged(HostSession* session, PeerState state);
    HostSession* sessionOf(const PeerHandle& peer) const;
    void setStatusText(const QString& text);
    // The event's text, followed by why the bridge is not advertised when it is not.
    QString withAdvertising(const QString& event) const;
    void advertisingFailed(const QString& failure);

    std::string peerName_;
    LinkHostOptions options_;
    LinkEvents* events_ = nullptr;
    bool started_ = false;
    QString statusText_;
    // Why the bridge is not announced over DNS-SD, with what to do about it; "" while it is.
    QString advertisingFailure_;
    quint16 listeningPort_ = 0;
    std::string certificateFingerprint_;
    std::string authorityFingerprint_;
    QPointer<TlsListener> listener_;
    QPointer<AvahiPublisher> publisher_;
    std::vector<PendingReader> readers_;
    std::map<PeerHandle, SessionEntry> sessions_;
    std::uint64_t nextSerial_ = 0;
    // This computer's names and addresses, asked again when a request names something else.
    HostNames names_;
    std::optional<std::chrono::steady_clock::time_point> namesRead_;
};

} // namespace tarnwick
