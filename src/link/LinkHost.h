#pragma once

#include "link/AdmissionQuota.h"
#include "link/HostSession.h"
#include "link/PeerHandle.h"
#include "link/PeerState.h"
#include "link/SelfSignedCertificate.h"
#include "link/SessionStage.h"
#include "link/WebAnswer.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <QHostAddress>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace tarnwick {

class InvitationReader;
class TlsListener;
class WebContent;
struct Invitation;

// How many connections the host keeps, by kind. Places of the first two kinds are shared out
// by remote address (see AdmissionQuota): a full address gives up its own oldest idle place to
// its newcomer, a full host takes one from the address holding the most; so connections from
// one address that sit and do nothing never lock out devices from another, or its own.
struct LinkHostSettings {
    QHostAddress address = QHostAddress::Any;
    quint16 port = 0;
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
    // The page served to browsers; null: none, every page request gets 404.
    std::shared_ptr<const WebContent> webContent;
};

// The host side of the link: listens for TLS connections, reads their invitations, admits
// devices into sessions and keeps those sessions. Each session is its own peer whatever its
// name: two sessions may carry one display name, and which of them stays is the owner's call.
// Besides the places above, every session is bounded by its stage (HostSession) and by what
// it may owe its peer (SessionOutbox, 8 MiB). On the same port it serves the page of the web
// cockpit to requests under one of this computer's names (InvitationReader).
class LinkHost : public QObject {
    Q_OBJECT
public:
    explicit LinkHost(LinkHostSettings settings, QObject* parent = nullptr);
    ~LinkHost() override;

    // Starts listening; the result is the bound port. The reason of a failure is the
    // system's text.
    Expected<quint16, Error> listen(const TlsIdentity& identity);

    Expected<void, Error> send(const QByteArray& bytes, const PeerHandle& peer);
    // Bytes sent to the peer that wait for it to read what went before; 0 for unknown peers.
    std::size_t waitingBytes(const PeerHandle& peer) const;
    // What the owner knows of the peer (see SessionStage); unknown peers are ignored.
    void setSessionStage(const PeerHandle& peer, SessionStage stage);
    // Ends the peer's session with a WebSocket close; not connected is reported at once.
    void close(const PeerHandle& peer, QWebSocketProtocol::CloseCode code, const QString& reason);

    // Connected peers, in the order in which their invitations were admitted.
    std::vector<PeerHandle> connectedPeers() const;
    // Sessions connecting or connected.
    std::size_t sessionCount() const { return sessions_.size(); }
    // Connections whose invitation is not read yet.
    std::size_t pendingCount() const { return readers_.size(); }

signals:
    void peerStateChanged(const tarnwick::PeerHandle& peer, tarnwick::PeerState state);
    void blockReceived(const QByteArray& bytes, const tarnwick::PeerHandle& peer);
    // Right before a session's not connected: why it ended.
    void sessionEnded(const tarnwick::PeerHandle& peer, tarnwick::SessionEnd reason);
    // Nothing waits any more for the peer to read.
    void peerEased(const tarnwick::PeerHandle& peer);

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

    void connectionArrived(QSslSocket* socket);
    bool answersTo(std::string_view host);
    void readNames();
    bool makeRoomForPending(const QHostAddress& address);
    bool makeRoomForSession(const QHostAddress& address);
    void invitationRead(InvitationReader* reader, const Invitation& invitation);
    void readerFinished(InvitationReader* reader);
    void sessionStateChanged(HostSession* session, PeerState state);
    HostSession* sessionOf(const PeerHandle& peer) const;

    LinkHostSettings settings_;
    QPointer<TlsListener> listener_;
    std::vector<PendingReader> readers_;
    std::vector<SessionEntry> sessions_; // in order of admission
    std::uint64_t nextSerial_ = 0;
    // This computer's names and addresses, asked again when a request names something else.
    HostNames names_;
    std::optional<std::chrono::steady_clock::time_point> namesRead_;
};

} // namespace tarnwick
