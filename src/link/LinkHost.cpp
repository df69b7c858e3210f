#include "link/LinkHost.h"

#include "link/InvitationReader.h"
#include "link/LinkTls.h"
#include "link/TlsListener.h"

#include <QSslSocket>

#include <algorithm>

namespace tarnwick {

LinkHost::LinkHost(LinkHostSettings settings, QObject* parent)
    : QObject(parent), settings_(std::move(settings)) {}

LinkHost::~LinkHost() {
    // Sessions and readers go with their parent; none of their signals may reach this object
    // half-destroyed.
    for (const auto& session : sessions_) {
        if (session) {
            session->disconnect(this);
        }
    }
    for (const auto& reader : readers_) {
        if (reader) {
            reader->disconnect(this);
        }
    }
}

Expected<quint16, Error> LinkHost::listen(const TlsIdentity& identity) {
    if (listener_) {
        return listener_->serverPort();
    }
    auto* listener = new TlsListener(hostTlsConfiguration(identity), this);
    if (!listener->listen(settings_.address, settings_.port)) {
        const std::string reason = listener->errorString().toStdString();
        listener->deleteLater();
        return Unexpected(Error{reason});
    }
    connect(listener, &TlsListener::connectionArrived, this, &LinkHost::connectionArrived);
    listener_ = listener;
    return listener->serverPort();
}

void LinkHost::connectionArrived(QSslSocket* socket) {
    if (readers_.size() >= static_cast<std::size_t>(settings_.maxPendingConnections)) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    auto* reader = new InvitationReader(socket, settings_.timings.handshakeTimeout, this);
    connect(reader, &InvitationReader::invitationRead, this, &LinkHost::invitationRead);
    connect(reader, &InvitationReader::finished, this, &LinkHost::readerFinished);
    readers_.emplace_back(reader);
}

void LinkHost::readerFinished(InvitationReader* reader) {
    std::erase_if(readers_, [reader](const auto& entry) { return !entry || entry == reader; });
    reader->disconnect(this);
    reader->deleteLater();
}

void LinkHost::invitationRead(InvitationReader* reader, const Invitation& invitation) {
    // A device that comes back under its name replaces its older session, which ends first.
    const auto older = std::find_if(sessions_.begin(), sessions_.end(), [&](const auto& session) {
        return session && session->peer()->displayName() == invitation.displayName;
    });
    if (older != sessions_.end()) {
        QPointer<HostSession> session = *older;
        session->close(QStringLiteral("Replaced by a newer connection under the same name"));
    } else if (sessions_.size() >= static_cast<std::size_t>(settings_.maxSessions)) {
        reader->refuse(503, QStringLiteral("Too many sessions."));
        return;
    }

    QSslSocket* socket = reader->takeSocket();
    if (!socket) {
        return;
    }
    auto peer = std::make_shared<const Peer>(invitation.displayName);
    auto* session = new HostSession(socket, std::move(peer), settings_.timings, this);
    sessions_.emplace_back(session);
    connect(session, &HostSession::stateChanged, this,
            [this, session](PeerState state) { sessionStateChanged(session, state); });
    connect(session, &HostSession::blockReceived, this, [this, session](const QByteArray& bytes) {
        emit blockReceived(bytes, session->peer());
    });
    emit peerStateChanged(session->peer(), PeerState::connecting);
    session->begin();
}

void LinkHost::sessionStateChanged(HostSession* session, PeerState state) {
    if (state == PeerState::notConnected) {
        std::erase_if(sessions_,
                      [session](const auto& entry) { return !entry || entry == session; });
        session->disconnect(this);
    }
    emit peerStateChanged(session->peer(), state);
}

Expected<void, Error> LinkHost::send(const QByteArray& bytes, const PeerHandle& peer) {
    for (const auto& session : sessions_) {
        if (session && session->peer() == peer) {
            return session->send(bytes);
        }
    }
    const std::string name = peer ? peer->displayName() : std::string("(none)");
    return Unexpected(Error{"Peer " + name + " is not connected."});
}

std::vector<PeerHandle> LinkHost::connectedPeers() const {
    std::vector<PeerHandle> peers;
    for (const auto& session : sessions_) {
        if (session && session->state() == PeerState::connected) {
            peers.push_back(session->peer());
        }
    }
    return peers;
}

} // namespace tarnwick
