#include "link/LinkHost.h"

#include "link/InvitationReader.h"
#include "link/LinkTls.h"
#include "link/TlsListener.h"
#include "link/WebContent.h"

#include <QSslSocket>

#include <algorithm>

namespace tarnwick {

namespace {

// How often a request under a name this computer does not have makes it read its names again
// (an address may have come since).
constexpr std::chrono::seconds namesRefresh{2};

// Worth of a place among the unauthorised: a session with a pairing request on screen is
// worth more than one that has not said who it is.
int worth(const HostSession& session) {
    return session.stage() == SessionStage::awaitingUser ? 1 : 0;
}

} // namespace

LinkHost::LinkHost(LinkHostSettings settings, QObject* parent)
    : QObject(parent), settings_(std::move(settings)) {}

LinkHost::~LinkHost() {
    // Sessions and readers go with their parent; none of their signals may reach this object
    // half-destroyed.
    for (const auto& entry : sessions_) {
        if (entry.session) {
            entry.session->disconnect(this);
        }
    }
    for (const auto& entry : readers_) {
        if (entry.reader) {
            entry.reader->disconnect(this);
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
    readNames();
    return listener->serverPort();
}

bool LinkHost::answersTo(std::string_view host) {
    if (names_.answersTo(host)) {
        return true;
    }
    if (namesRead_ && std::chrono::steady_clock::now() - *namesRead_ < namesRefresh) {
        return false;
    }
    readNames();
    return names_.answersTo(host);
}

void LinkHost::readNames() {
    namesRead_ = std::chrono::steady_clock::now();
    const CertificateNames names = CertificateNames::ofThisComputer();
    names_ = HostNames(names.hostNames, names.addresses, listener_ ? listener_->serverPort() : 0);
}

void LinkHost::connectionArrived(QSslSocket* socket) {
    const QHostAddress address = admissionAddress(socket->peerAddress());
    if (!makeRoomForPending(address)) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    ReaderRules rules{settings_.webContent,
                      [this](std::string_view host) { return answersTo(host); }};
    auto* reader =
        new InvitationReader(socket, settings_.timings.handshakeTimeout, std::move(rules), this);
    connect(reader, &InvitationReader::invitationRead, this, &LinkHost::invitationRead);
    connect(reader, &InvitationReader::finished, this, &LinkHost::readerFinished);
    readers_.push_back({reader, address, nextSerial_++});
}

// Connections in their handshake: those still reading their invitation and sessions still
// upgrading. A newcomer that finds no room is cut before its TLS handshake costs anything.
bool LinkHost::makeRoomForPending(const QHostAddress& address) {
    std::vector<AdmissionQuota::Place> places;
    std::vector<QObject*> holders;
    for (const auto& entry : readers_) {
        if (entry.reader) {
            places.push_back({entry.address, 0, entry.serial, true});
            holders.push_back(entry.reader);
        }
    }
    for (const auto& entry : sessions_) {
        if (entry.session && entry.session->state() == PeerState::connecting) {
            places.push_back({entry.address, 0, entry.serial, true});
            holders.push_back(entry.session);
        }
    }
    const AdmissionQuota quota(settings_.maxPendingPerAddress, settings_.maxPendingConnections);
    const auto decision = quota.judge(places, address);
    if (decision.verdict == AdmissionQuota::Verdict::refuse) {
        return false;
    }
    if (decision.verdict == AdmissionQuota::Verdict::displace) {
        QObject* holder = holders[decision.place];
        if (auto* reader = qobject_cast<InvitationReader*>(holder)) {
            reader->abort();
        } else if (auto* session = qobject_cast<HostSession*>(holder)) {
            session->close(QWebSocketProtocol::CloseCodePolicyViolated,
                           QStringLiteral("Too many connections."), SessionEnd::displaced);
        }
    }
    return true;
}

// Sessions not authorised, counted from their invitation on.
bool LinkHost::makeRoomForSession(const QHostAddress& address) {
    std::vector<AdmissionQuota::Place> places;
    std::vector<HostSession*> holders;
    for (const auto& entry : sessions_) {
        if (entry.session && entry.session->stage() != SessionStage::authorised) {
            places.push_back({entry.address, worth(*entry.session), entry.serial, true});
            holders.push_back(entry.session);
        }
    }
    const AdmissionQuota quota(settings_.maxUnauthorisedPerAddress,
                               settings_.maxUnauthorisedSessions);
    const auto decision = quota.judge(places, address);
    if (decision.verdict == AdmissionQuota::Verdict::refuse) {
        return false;
    }
    if (decision.verdict == AdmissionQuota::Verdict::displace) {
        holders[decision.place]->close(QWebSocketProtocol::CloseCodePolicyViolated,
                                       QStringLiteral("Too many sessions."), SessionEnd::displaced);
    }
    return true;
}

void LinkHost::readerFinished(InvitationReader* reader) {
    std::erase_if(readers_,
                  [reader](const auto& entry) { return !entry.reader || entry.reader == reader; });
    reader->disconnect(this);
    reader->deleteLater();
}

void LinkHost::invitationRead(InvitationReader* reader, const Invitation& invitation) {
    const auto pending =
        std::find_if(readers_.begin(), readers_.end(),
                     [reader](const auto& entry) { return entry.reader == reader; });
    if (pending == readers_.end()) {
        return;
    }
    const QHostAddress address = pending->address;
    const std::uint64_t serial = pending->serial;
    const auto authorised = std::count_if(sessions_.begin(), sessions_.end(), [](const auto& e) {
        return e.session && e.session->stage() == SessionStage::authorised;
    });
    if (authorised >= settings_.maxSessions || !makeRoomForSession(address)) {
        reader->refuse(503, QStringLiteral("Too many sessions."));
        return;
    }

    QSslSocket* socket = reader->takeSocket();
    if (!socket) {
        return;
    }
    // The peer carries the address it connected from, by which its pairing attempts count.
    auto peer = std::make_shared<const Peer>(
        invitation.displayName,
        PeerEndpoint{address.toString().toStdString(), socket->peerPort(), {}});
    auto* session = new HostSession(socket, std::move(peer), settings_.timings, this);
    sessions_.push_back({session, address, serial});
    connect(session, &HostSession::stateChanged, this,
            [this, session](PeerState state) { sessionStateChanged(session, state); });
    connect(session, &HostSession::blockReceived, this, [this, session](const QByteArray& bytes) {
        emit blockReceived(bytes, session->peer());
    });
    connect(session, &HostSession::eased, this,
            [this, session] { emit peerEased(session->peer()); });
    emit peerStateChanged(session->peer(), PeerState::connecting);
    session->begin();
}

void LinkHost::sessionStateChanged(HostSession* session, PeerState state) {
    if (state == PeerState::notConnected) {
        std::erase_if(sessions_, [session](const auto& entry) {
            return !entry.session || entry.session == session;
        });
        session->disconnect(this);
        emit sessionEnded(session->peer(), session->endReason());
    }
    emit peerStateChanged(session->peer(), state);
}

HostSession* LinkHost::sessionOf(const PeerHandle& peer) const {
    for (const auto& entry : sessions_) {
        if (entry.session && entry.session->peer() == peer) {
            return entry.session;
        }
    }
    return nullptr;
}

Expected<void, Error> LinkHost::send(const QByteArray& bytes, const PeerHandle& peer) {
    if (HostSession* session = sessionOf(peer)) {
        return session->send(bytes);
    }
    const std::string name = peer ? peer->displayName() : std::string("(none)");
    return Unexpected(Error{"Peer " + name + " is not connected."});
}

std::size_t LinkHost::waitingBytes(const PeerHandle& peer) const {
    const HostSession* session = sessionOf(peer);
    return session ? session->waitingBytes() : 0;
}

void LinkHost::setSessionStage(const PeerHandle& peer, SessionStage stage) {
    if (HostSession* session = sessionOf(peer)) {
        session->setStage(stage);
    }
}

void LinkHost::close(const PeerHandle& peer, QWebSocketProtocol::CloseCode code,
                     const QString& reason) {
    if (HostSession* session = sessionOf(peer)) {
        session->close(code, reason);
    }
}

std::vector<PeerHandle> LinkHost::connectedPeers() const {
    std::vector<PeerHandle> peers;
    for (const auto& entry : sessions_) {
        if (entry.session && entry.session->state() == PeerState::connected) {
            peers.push_back(entry.session->peer());
        }
    }
    return peers;
}

} // namespace tarnwick
