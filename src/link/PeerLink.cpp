#include "link/PeerLink.h"

#include "link/AuthorityDownloads.h"
#include "link/AvahiBrowser.h"
#include "link/AvahiPublisher.h"
#include "link/CertificateFingerprint.h"
#include "link/LinkHost.h"
#include "link/LinkWire.h"
#include "link/PeerName.h"
#include "link/SelfSignedCertificate.h"
#include "link/TlsIdentityStore.h"

#include <QNetworkInterface>

#include <algorithm>
#include <optional>

namespace tarnwick {

namespace {

const QString available = QStringLiteral("Available on local network");
const QString lookingForHosts = QStringLiteral("Looking for Macs\u2026");
// Said after the reason whenever the bridge listens but is not announced: devices can still
// come by address (the phone page's QR code), but nothing finds the bridge by name.
const QString notAdvertised = QStringLiteral(
    ". Devices cannot find this bridge by name, only by its address. To fix this, install "
    "avahi-daemon and start it: sudo systemctl enable --now avahi-daemon");

std::string text(std::string_view view) {
    return std::string(view);
}

} // namespace

PeerLink::PeerLink(PeerLinkMode mode, std::string displayName, PeerLinkOptions options,
                   QObject* parent)
    : QObject(parent), mode_(mode), options_(std::move(options)),
      peerName_(makePeerName(displayName, randomPeerSuffix())),
      statusText_(QStringLiteral("Starting\u2026")) {}

PeerLink::~PeerLink() {
    // Sessions end with the link; their owner hears nothing more.
    if (host_) {
        host_->disconnect(this);
    }
}

std::string PeerLink::phoneAddress() {
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
        const std::string text = bare.toString().toStdString();
        return "[" + text + "]";
    }
    return "127.0.0.1";
}

void PeerLink::start() {
    if (started_) {
        return;
    }
    started_ = true;
    mode_ == PeerLinkMode::host ? startHost() : startClient();
}

void PeerLink::startHost() {
    const QString failure = QStringLiteral("Advertising failed: ");
    Expected<TlsIdentity, Error> identity = Unexpected(Error{});
    if (options_.tlsIdentityPath.empty()) {
        identity = SelfSignedCertificate::make(peerName_);
    } else if (auto stored = TlsIdentityStore::loadOrCreate(options_.tlsIdentityPath, peerName_,
                                                            CertificateNames::ofThisComputer());
               stored) {
        identity = std::move(stored->identity);
    } else {
        identity = Unexpected(stored.error());
    }
    if (!identity) {
        setStatusText(failure + QString::fromStdString(identity.error().description));
        return;
    }
    LinkHostSettings settings;
    settings.address = options_.listenAddress;
    settings.port = options_.port;
    settings.timings = {options_.handshakeTimeout, options_.pingInterval,
                        options_.peerTimeout,      options_.helloTimeout,
                        options_.pairingTimeout,   options_.writeStallTimeout};
    settings.maxSessions = options_.maxSessions;
    settings.maxPendingConnections = options_.maxPendingConnections;
    settings.maxPendingPerAddress = options_.maxPendingPerAddress;
    settings.maxUnauthorisedSessions = options_.maxUnauthorisedSessions;
    settings.maxUnauthorisedPerAddress = options_.maxUnauthorisedPerAddress;
    settings.webContent = options_.webContent;
    if (settings.webContent && !identity->authority.isNull()) {
        settings.webContent = std::make_shared<const WebContent>(
            AuthorityDownloads::with(*settings.webContent, identity->authority));
    }
    auto* host = new LinkHost(settings, this);
    auto port = host->listen(*identity);
    if (!port) {
        host->deleteLater();
        setStatusText(failure + QString::fromStdString(port.error().description));
        return;
    }
    host_ = host;
    listeningPort_ = *port;
    certificateFingerprint_ = tarnwick::certificateFingerprint(identity->certificate);
    authorityFingerprint_ = tarnwick::certificateFingerprint(identity->authority);
    connect(host, &LinkHost::peerStateChanged, this, &PeerLink::peerStateChanged);
    connect(host, &LinkHost::blockReceived, this, &PeerLink::dataReceived);
    connect(host, &LinkHost::sessionEnded, this, &PeerLink::sessionEnded);
    connect(host, &LinkHost::peerEased, this, &PeerLink::peerEased);
    setStatusText(available);

    if (!options_.advertise) {
        return;
    }
    ServiceAnnouncement announcement{
        peerName_,
        text(linkwire::serviceType),
        listeningPort_,
        {{text(linkwire::txtVersionKey), text(linkwire::txtVersionValue)}}};
    auto* publisher = new AvahiPublisher(std::move(announcement), this);
    publisher_ = publisher;
    connect(publisher, &AvahiPublisher::failed, this,
            [this, failure](const QString& reason) { advertisingFailed(failure + reason); });
    if (auto started = publisher->start(); !started) {
        advertisingFailed(failure + QString::fromStdString(started.error().description));
    }
}

void PeerLink::startClient() {
    auto* browser = new AvahiBrowser(text(linkwire::serviceType), this);
    browser_ = browser;
    connect(browser, &AvahiBrowser::peerFound, this, [this](const PeerHandle& peer) {
        if (std::find(discoveredPeers_.begin(), discoveredPeers_.end(), peer) ==
            discoveredPeers_.end()) {
            discoveredPeers_.push_back(peer);
            emit discoveredPeersChanged();
        }
    });
    connect(browser, &AvahiBrowser::peerLost, this, [this](const PeerHandle& peer) {
        if (std::erase(discoveredPeers_, peer) > 0) {
            emit discoveredPeersChanged();
        }
    });
    const QString failure = QStringLiteral("Discovery failed: ");
    connect(browser, &AvahiBrowser::failed, this,
            [this, failure](const QString& reason) { setStatusText(failure + reason); });
    setStatusText(lookingForHosts);
    if (auto started = browser->start(); !started) {
        setStatusText(failure + QString::fromStdString(started.error().description));
    }
}

Expected<void, Error> PeerLink::send(const QByteArray& bytes, const PeerHandle& peer) {
    if (!host_) {
        const std::string name = peer ? peer->displayName() : std::string("(none)");
        return Unexpected(Error{"Peer " + name + " is not connected."});
    }
    return host_->send(bytes, peer);
}

std::size_t PeerLink::waitingBytes(const PeerHandle& peer) const {
    return host_ ? host_->waitingBytes(peer) : 0;
}

void PeerLink::setSessionStage(const PeerHandle& peer, SessionStage stage) {
    if (host_) {
        host_->setSessionStage(peer, stage);
    }
}

void PeerLink::close(const PeerHandle& peer, QWebSocketProtocol::CloseCode code,
                     const QString& reason) {
    if (host_) {
        host_->close(peer, code, reason);
    }
}

void PeerLink::peerStateChanged(const PeerHandle& peer, PeerState state) {
    auto connected = host_ ? host_->connectedPeers() : std::vector<PeerHandle>();
    if (connected != connectedPeers_) {
        connectedPeers_ = std::move(connected);
        emit connectedPeersChanged();
    }
    switch (state) {
    case PeerState::notConnected:
        setStatusText(idleStatus());
        emit peerDisconnected(peer);
        break;
    case PeerState::connecting:
        setStatusText(withAdvertising(QStringLiteral("Securing connection\u2026")));
        break;
    case PeerState::connected:
        setStatusText(withAdvertising(QStringLiteral("Connected to ") +
                                      QString::fromStdString(peer->displayName())));
        emit peerConnected(peer);
        break;
    default:
        setStatusText(withAdvertising(QStringLiteral("Connection state changed")));
        break;
    }
}

QString PeerLink::idleStatus() const {
    if (mode_ == PeerLinkMode::client) {
        return lookingForHosts;
    }
    return advertisingFailure_.isEmpty() ? available : advertisingFailure_;
}

QString PeerLink::withAdvertising(const QString& event) const {
    return advertisingFailure_.isEmpty() ? event
                                         : event + QStringLiteral(". ") + advertisingFailure_;
}

void PeerLink::advertisingFailed(const QString& failure) {
    advertisingFailure_ = failure + notAdvertised;
    setStatusText(advertisingFailure_);
}

void PeerLink::setStatusText(const QString& text) {
    if (text == statusText_) {
        return;
    }
    statusText_ = text;
    emit statusTextChanged();
}

} // namespace tarnwick
