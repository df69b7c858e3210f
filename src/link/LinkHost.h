#pragma once

#include "link/HostSession.h"
#include "link/PeerHandle.h"
#include "link/PeerState.h"
#include "link/SelfSignedCertificate.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <QHostAddress>
#include <QObject>
#include <QPointer>

#include <cstddef>
#include <vector>

namespace tarnwick {

class InvitationReader;
class TlsListener;
struct Invitation;

struct LinkHostSettings {
    QHostAddress address = QHostAddress::Any;
    quint16 port = 0;
    SessionTimings timings;
    int maxSessions = 32;
    // Connections still in their TLS handshake or invitation at one time; more are cut at once.
    int maxPendingConnections = 64;
};

// The host side of the link: listens for TLS connections, reads their invitations, admits
// devices into sessions and keeps those sessions. Display names are unique among the
// sessions: a new invitation under the name of a session still open ends the older one first.
class LinkHost : public QObject {
    Q_OBJECT
public:
    explicit LinkHost(LinkHostSettings settings, QObject* parent = nullptr);
    ~LinkHost() override;

    // Starts listening; the result is the bound port. The reason of a failure is the
    // system's text.
    Expected<quint16, Error> listen(const TlsIdentity& identity);

    Expected<void, Error> send(const QByteArray& bytes, const PeerHandle& peer);

    // Connected peers, in the order in which their invitations were admitted.
    std::vector<PeerHandle> connectedPeers() const;
    // Sessions connecting or connected.
    std::size_t sessionCount() const { return sessions_.size(); }
    // Connections whose invitation is not read yet.
    std::size_t pendingCount() const { return readers_.size(); }

signals:
    void peerStateChanged(const tarnwick::PeerHandle& peer, tarnwick::PeerState state);
    void blockReceived(const QByteArray& bytes, const tarnwick::PeerHandle& peer);

private:
    void connectionArrived(QSslSocket* socket);
    void invitationRead(InvitationReader* reader, const Invitation& invitation);
    void readerFinished(InvitationReader* reader);
    void sessionStateChanged(HostSession* session, PeerState state);

    LinkHostSettings settings_;
    QPointer<TlsListener> listener_;
    std::vector<QPointer<InvitationReader>> readers_;
    std::vector<QPointer<HostSession>> sessions_; // in order of admission
};

} // namespace tarnwick
