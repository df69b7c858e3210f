#pragma once

#include "bridge/ActivityLog.h"
#include "bridge/BridgeAppServer.h"
#include "bridge/DeviceSender.h"
#include "bridge/PeerSessions.h"

#include <QObject>

#include <string>
#include <string_view>

namespace tarnwick {

// Device requests to the app-server and its answers back to the device that asked; the
// app-server's notifications to every authorised device. A device reaches nothing of the
// app-server but the nine allowlisted methods. Main thread only; the completions it hands the
// app-server do nothing once the relay is gone.
class RequestRelay : public QObject {
    Q_OBJECT

public:
    RequestRelay(BridgeAppServer& appServer, const PeerSessions& sessions,
                 const DeviceSender& sender, ActivityLog log, QObject* parent = nullptr);

    // The nine app-server methods a paired device may call; exact text equality.
    static bool isAllowlisted(std::string_view method);

    void handleRequest(const BridgeMessage& message, const PeerHandle& peer);
    void relayEvent(const std::string& method, const JSONValue& params);

private:
    BridgeAppServer& appServer_;
    const PeerSessions& sessions_;
    const DeviceSender& sender_;
    ActivityLog log_;
};

} // namespace tarnwick
