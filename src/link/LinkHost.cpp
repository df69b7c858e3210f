#include "link/LinkHost.h"

#include "link/AdmissionQuota.h"
#include "link/AuthorityDownloads.h"
#include "link/AvahiPublisher.h"
#include "link/CertificateFingerprint.h"
#include "link/InvitationReader.h"
#include "link/LinkTls.h"
#include "link/LinkWire.h"
#include "link/PeerName.h"
#include "link/SelfSignedCertificate.h"
#include "link/TlsIdentityStore.h"
#include "link/TlsListener.h"
#include "link/WebContent.h"

#include <QNetworkInterface>
#include <QSslSocket>

#include <algorithm>

namespace tarnwick {

namespace {

// How often a request under a name this computer does not have makes it read its names again
// (an address may have come since).
constexpr std::chrono::seconds namesRefresh{2};

const QString available = QStringLiteral("Available on local network");
// Said after the reason whenever the bridge listens but is not announced: devices can still
// come by address (the phone page's QR code), but nothing finds the bridge by name.
const QString notAdvertised = QStringLiteral(
    ". Devices cannot find this bridge by name, only by its address. To fix this, install "
    "avahi-daemon and start it: sudo systemctl enable --now avahi-daemon");
const QString failurePrefix = QStringLiteral("Advertising failed: ");

// Worth of a place among the unauthorised: a session with a pairing request on screen is
// worth more than one that has not said who it is.
int worth(const HostSession& session) {
    return session.stage() == SessionStage::awaitingUser ? 1 : 0;
}

std::string text(std::string_view view) {
    return std::string(view);
}

Expected<TlsIdentity, Error> hostIdentity(const std::string& path, const std::string& name) {
    if (path.empty()) {
        return SelfSignedCertificate::make(name);
    }
    auto stored = TlsIdentityStore::loadOrCreate(path, name, CertificateNames::ofThisComputer());
    if (!stored) {
        return Unexpected(stored.error());
    }
    return std::move(stored->identity);
}

} // namespace

LinkHost::LinkHost(std::string displayName, LinkHostOptions options, QObject* parent)
    : QObject(parent), peerName_(makePeerName(displayName, randomPeerSuffix())),
      options_(std::move(options)), statusText_(QStringLiteral("Starting\u2026")) {}

LinkHost::~LinkHost() {
    // Sessions and readers go with their parent; none of their signals may reach this object
    // half-destroyed, and the owner hears nothing more.
    events_ = nullptr;
    for (const auto& [peer, entry] : sessions_) {
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

std::string LinkHost::phoneAddress() {
    std::optional<QHostAddress> ipv6;
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        const auto flags = interface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) ||
            !flags.testFlag(QNetworkInterface::IsRunning) ||
            flags.testFlag(QNetworkInterface::IsLoopBack)) {
            continue;
        }
        for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
            const QHostAddress address = entry.ip();
            if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback()) {
                return address.toString().toStdString();
            }
            if (!ipv6 && address.protocol() == QAbstractSocket::IPv6Protocol &&
                address.isGlobal()) {
                ipv6 = address;
            }
        }
    }
    if (ipv6) {
        QHostAddress bare = *ipv6;
        bare.setScopeId({});
        std::string bracketed(1, '[');
        bracketed.append(bare.toString().toStdString()).push_back(']');
        return bracketed;
    }
    return "127.0.0.1";
}

std::string LinkHost::webAddress() const {
    if (listeningPort_ == 0) {
        return {};
    }
    std::string address("https://");
    address.append(phoneAddress()).append(":").append(std::to_string(listeningPort_)).append("/");
    return address;
}

void LinkHost::start() {
    if (started_) {
        return;
    }
    started_ = true;
    auto identity = hostIdentity(options_.tlsIdentityPath, peerName_);
    if (!identity) {
        setStatusText(failurePrefix + QString::fromStdString(identity.error().description));
        return;
    }
    if (options_.webContent && !identity->authority.isNull()) {
        options_.webContent = std::make_shared<const WebContent>(
            AuthorityDownloads::with(*options_.webContent, identity->authority));
    }
    auto port = listen(*identity);
    if (!port) {
        setStatusText(failurePrefix + QString::fromStdString(port.error().description));
        return;
    }
    listeningPort_ = *port;
    certificateFingerprint_ = tarnwick::certificateFingerprint(identity->certificate);
    authorityFingerprint_ = tarnwick::certificateFingerprint(identity->authority);
    setStatusText(available);
    if (options_.advertise) {
        advertise();
    }
}

Expected<quint16, Error> LinkHost::listen(const TlsIdentity& identity) {
    auto* listener = new TlsListener(hostTlsConfiguration(identity), this);
    if (!listener->listen(options_.listenAddress, options_.port)) {
        const std::string reason = listener->errorString().toStdString();
        listener->deleteLater();
        return Unexpected(Error{reason});
    }
    connect(listener, &TlsListener::connectionArrived, this, &LinkHost::connectionArrived);
    listener_ = listener;
    readNames();
    return listener->serverPort();
}

void LinkHost::advertise() {
    ServiceAnnouncement announcement{
        peerName_,
        text(linkwire::serviceType),
        listeningPort_,
        {{text(linkwire::txtVersionKey), text(linkwire::txtVersionValue)}}};
    auto* publisher = new AvahiPublisher(std::move(announcement), this);
    publisher_ = publisher;
    connect(publisher, &AvahiPublisher::failed, this,
            [this](const QString& reason) { advertisingFailed(failurePrefix + reason); });
    if (auto started = publisher->start(); !started) {
        advertisingFailed(failurePrefix + QString::fromStdString(started.error().description));
    }
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
    ReaderRules rules{options_.webContent,
                      [this](std::string_view host) { return answersTo(host); }};
    auto* reader =
        new InvitationReader(socket, options_.timings.handshakeTimeout, std::move(rules), this);
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
    for (const auto& [peer, entry] : sessions_) {
        if (entry.session && entry.session->state() == PeerState::connecting) {
            places.push_back({entry.address, 0, entry.serial, true});
            holders.push_back(entry.session);
        }
    }
    const AdmissionQuota quota(options_.maxPendingPerAddress, options_.maxPendingConnections);
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
    for (const auto& [peer, entry] : sessions_) {
        if (entry.session && entry.session->stage() != SessionStage::authorised) {
            places.push_back({entry.address, worth(*entry.session), entry.serial, true});
            holders.push_back(entry.session);
        }
    }
    const AdmissionQuota quota(options_.maxUnauthorisedPerAddress,
                               options_.maxUnauthorisedSessions);
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
        return e.second.session && e.second.session->stage() == SessionStage::authorised;
    });
    if (authorised >= options_.maxSessions || !makeRoomForSession(address)) {
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
    auto* session = new HostSession(socket, peer, options_.timings, this);
    sessions_.emplace(peer, SessionEntry{session, address, serial});
    connect(session, &HostSession::stateChanged, this,
            [this, session](PeerState state) { sessionStateChanged(session, state); });
    connect(session, &HostSession::blockReceived, this, [this, session](const QByteArray& bytes) {
        if (events_) {
            events_->received(
                std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())),
                session->peer());
        }
    });
    connect(session, &HostSession::eased, this, [this, session] {
        if (events_) {
            events_->eased(session->peer());
        }
    });
    setStatusText(withAdvertising(QStringLiteral("Securing connection\u2026")));
    session->begin();
}

void LinkHost::sessionStateChanged(HostSession* session, PeerState state) {
    // The handle is held here: the entry that holds it goes now.
    const PeerHandle peer = session->peer();
    if (state == PeerState::notConnected) {
        sessions_.erase(peer);
        session->disconnect(this);
        if (events_) {
            events_->ended(peer, session->endReason());
        }
        setStatusText(advertisingFailure_.isEmpty() ? available : advertisingFailure_);
        if (events_) {
            events_->disconnected(peer);
        }
    } else if (state == PeerState::connected) {
        setStatusText(withAdvertising(QStringLiteral("Connected to ") +
                                      QString::fromStdString(peer->displayName())));
        if (events_) {
            events_->connected(peer);
        }
    }
}

HostSession* LinkHost::sessionOf(const PeerHandle& peer) const {
    const auto found = sessions_.find(peer);
    return found == sessions_.end() ? nullptr : found->second.session.data();
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

void LinkHost::closeSession(const PeerHandle& peer, const std::string& reason, SessionClose how) {
    if (HostSession* session = sessionOf(peer)) {
        session->close(static_cast<QWebSocketProtocol::CloseCode>(how),
                       QString::fromStdString(reason));
    }
}

std::vector<PeerHandle> LinkHost::connectedPeers() const {
    std::vector<std::pair<std::uint64_t, PeerHandle>> admitted;
    for (const auto& [peer, entry] : sessions_) {
        if (entry.session && entry.session->state() == PeerState::connected) {
            admitted.emplace_back(entry.serial, peer);
        }
    }
    std::sort(admitted.begin(), admitted.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<PeerHandle> peers;
    peers.reserve(admitted.size());
    for (auto& [serial, peer] : admitted) {
        peers.push_back(std::move(peer));
    }
    return peers;
}

QString LinkHost::withAdvertising(const QString& event) const {
    return advertisingFailure_.isEmpty() ? event
                                         : event + QStringLiteral(". ") + advertisingFailure_;
}

void LinkHost::advertisingFailed(const QString& failure) {
    advertisingFailure_ = failure + notAdvertised;
    setStatusText(advertisingFailure_);
}

void LinkHost::setStatusText(const QString& text) {
    if (text == statusText_) {
        return;
    }
    statusText_ = text;
    if (events_) {
        events_->statusChanged();
    }
}

} // namespace tarnwick
