#pragma once

#include "link/PeerHandle.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <vector>

namespace tarnwick {

class AvahiBrowser;

// A device's way to find bridges on the local network: browses DNS-SD for their service and
// keeps the hosts it found, on the main thread.
class HostBrowser : public QObject {
    Q_OBJECT
public:
    explicit HostBrowser(QObject* parent = nullptr);
    ~HostBrowser() override;

    const std::vector<PeerHandle>& discoveredPeers() const { return discoveredPeers_; }
    QString statusText() const { return statusText_; }
    // Starts browsing. Later calls do nothing.
    void start();

signals:
    void discoveredPeersChanged();
    void statusTextChanged();

private:
    void setStatusText(const QString& text);

    QString statusText_;
    std::vector<PeerHandle> discoveredPeers_;
    QPointer<AvahiBrowser> browser_;
};

} // namespace tarnwick
