#include "link/HostBrowser.h"

#include "link/AvahiBrowser.h"
#include "link/LinkWire.h"

#include <algorithm>

namespace tarnwick {

HostBrowser::HostBrowser(QObject* parent)
    : QObject(parent), statusText_(QStringLiteral("Starting\u2026")) {}

HostBrowser::~HostBrowser() = default;

void HostBrowser::start() {
    if (browser_) {
        return;
    }
    auto* browser = new AvahiBrowser(std::string(linkwire::serviceType), this);
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
    setStatusText(QStringLiteral("Looking for Macs\u2026"));
    if (auto started = browser->start(); !started) {
        setStatusText(failure + QString::fromStdString(started.error().description));
    }
}

void HostBrowser::setStatusText(const QString& text) {
    if (text == statusText_) {
        return;
    }
    statusText_ = text;
    emit statusTextChanged();
}

} // namespace tarnwick
