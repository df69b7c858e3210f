#pragma once

#include "bridge/ActivityLog.h"
#include "bridge/BridgeAppServer.h"
#include "bridge/CeilingCheck.h"
#include "bridge/DeviceSender.h"
#include "bridge/PeerSessions.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// Device requests to the app-server and its answers back to the device that asked; the
// app-server's notifications to every authorised device. A device reaches nothing of the
// app-server but the nine allowlisted methods. Main thread only; the completions it hands the
// app-server do nothing once the relay is gone.
//
// The relay keeps pace with the devices: while an authorised device has more than holdAbove
// bytes waiting to be read, the app-server's output is held (so Codex waits to write) until
// the device has caught up. A device that has not caught up within maxHold is no longer waited
// for until it does; if it falls further behind, the link closes it.
class RequestRelay : public QObject {
    Q_OBJECT

public:
    // How a device's name is shown in the activity log (cut, hidden characters spelled out).
    using NameShown = std::function<std::string(std::string_view name)>;
    // The ceiling that holds for an authorised peer now.
    using CeilingFor = std::function<DeviceCeiling(const PeerHandle& peer)>;

    RequestRelay(BridgeAppServer& appServer, const PeerSessions& sessions,
                 const DeviceSender& sender, ActivityLog log, NameShown nameShown,
                 const CeilingCheck& ceilingCheck, CeilingFor ceilingFor,
                 QObject* parent = nullptr);

    // The nine app-server methods a paired device may call; exact text equality.
    static bool isAllowlisted(std::string_view method);

    static constexpr std::size_t holdAbove = 2 * 1024 * 1024;
    static constexpr std::chrono::milliseconds maxHold{2000};

    void handleRequest(const BridgeMessage& message, const PeerHandle& peer);
    void relayEvent(const std::string& method, const JSONText& params);
    // The link's news of a peer: nothing waits for it any more, or it is gone.
    void peerEased(const PeerHandle& peer);
    void peerGone(const PeerHandle& peer);
    bool isHolding() const { return holding_; }

private:
    bool anyoneBehind(const std::vector<PeerHandle>& peers) const;
    void holdIfBehind(const std::vector<PeerHandle>& peers);
    void releaseIfCaughtUp();
    void release();

    BridgeAppServer& appServer_;
    const PeerSessions& sessions_;
    const DeviceSender& sender_;
    ActivityLog log_;
    NameShown nameShown_;
    const CeilingCheck& ceilingCheck_;
    CeilingFor ceilingFor_;
    bool holding_ = false;
    QTimer holdLimit_;
    // Devices that did not catch up within maxHold, not waited for until they do.
    std::vector<PeerHandle> notWaitedFor_;
    // How the threads started and resumed through the bridge run now.
    LoadedThreads threads_;
};

} // namespace tarnwick
