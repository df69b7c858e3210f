#pragma once

#include "bridge/BridgeAppServer.h"
#include "bridge/BridgeIdentity.h"
#include "bridge/BridgeLink.h"
#include "bridge/BridgeTrustStore.h"
#include "bridge/PairingRequest.h"
#include "platform/HostNameService.h"
#include "platform/LoginItemService.h"
#include "protocol/BridgeMessage.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace tarnwick {

// The neighbours a controller works with. The controller owns them for its whole life.
struct BridgeNeighbours {
    std::unique_ptr<BridgeLink> link;
    std::unique_ptr<BridgeTrustStore> trustStore;
    std::unique_ptr<BridgeAppServer> appServer;
    // Absent when this computer's identity could not be made; the error says why.
    Expected<std::unique_ptr<BridgeIdentity>, Error> identity =
        Unexpected(Error{"No identity was given."});
    std::unique_ptr<LoginItemService> loginItems;
    std::unique_ptr<HostNameService> hostName;
};

// The centre of the bridge: authenticates devices, runs pairing, relays allowlisted requests to
// the Codex app-server and its answers, notifications and approval questions back. Everything
// runs on the main thread; the window binds to its properties.
class BridgeController : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString appServerStatus READ appServerStatus NOTIFY appServerStatusChanged)
    Q_PROPERTY(bool appServerReady READ appServerReady NOTIFY appServerReadyChanged)
    Q_PROPERTY(QVariantList pairingRequests READ pairingRequestList NOTIFY pairingRequestsChanged)
    Q_PROPERTY(QVariantList trustedPeers READ trustedPeerList NOTIFY trustedPeersChanged)
    Q_PROPERTY(QStringList authorizedPeerNames READ authorizedPeerNameList NOTIFY
                   authorizedPeerNamesChanged)
    Q_PROPERTY(QStringList logs READ logList NOTIFY logsChanged)
    Q_PROPERTY(bool launchAtLogin READ launchAtLogin NOTIFY launchAtLoginChanged)
    Q_PROPERTY(QString linkStatus READ linkStatus NOTIFY linkStatusChanged)

public:
    static constexpr std::size_t maxLogLines = 100;

    explicit BridgeController(BridgeNeighbours neighbours, QObject* parent = nullptr);
    ~BridgeController() override;

    // Starts the link and the app-server; runs once, later calls do nothing.
    Q_INVOKABLE void start();
    // Taken by value: the lists they usually come from change as they run.
    void accept(PairingRequest request);
    void reject(PairingRequest request);
    void forget(TrustedPeer peer);
    Q_INVOKABLE void setLaunchAtLogin(bool wanted);
    Q_INVOKABLE void restartAppServer();

    // The window's buttons name what they act on by its id.
    Q_INVOKABLE void acceptRequest(const QString& id);
    Q_INVOKABLE void rejectRequest(const QString& id);
    Q_INVOKABLE void forgetPeer(const QString& deviceID);

    QString appServerStatus() const { return QString::fromStdString(appServerStatus_); }
    bool appServerReady() const { return appServerReady_; }
    bool launchAtLogin() const { return launchAtLogin_; }
    QString linkStatus() const;
    const std::vector<PairingRequest>& pairingRequests() const { return pairingRequests_; }
    const std::vector<TrustedPeer>& trustedPeers() const { return trustedPeers_; }
    const std::set<std::string>& authorizedPeerNames() const { return authorizedPeerNames_; }
    const std::deque<std::string>& logs() const { return logs_; }
    bool started() const { return started_; }
    std::size_t pendingServerRequestCount() const { return pendingServerRequests_.size(); }

    QVariantList pairingRequestList() const;
    QVariantList trustedPeerList() const;
    QStringList authorizedPeerNameList() const;
    QStringList logList() const;

    // The nine app-server methods a paired device may call.
    static bool isAllowlisted(std::string_view method);
    // The two kinds of approval question forwarded to a device.
    static bool isApprovalMethod(std::string_view method);

    // Entry points of the neighbours' events; public so the tests and the fuzzer can drive them.
    void handleData(std::string_view bytes, const PeerHandle& peer);
    void handleConnected(const PeerHandle& peer);
    void handleDisconnected(const PeerHandle& peer);
    void handleStatus(const std::string& text, bool ready);
    void handleLog(const std::string& text);
    void relayEvent(const std::string& method, const JSONValue& params);
    void handleServerRequest(const JSONValue& id, const std::string& method,
                             const JSONValue& params);

signals:
    void appServerStatusChanged();
    void appServerReadyChanged();
    void pairingRequestsChanged();
    void trustedPeersChanged();
    void authorizedPeerNamesChanged();
    void logsChanged();
    // One line was added to the activity log; it is now the first of logs().
    void lineLogged(const QString& line);
    void launchAtLoginChanged();
    void linkStatusChanged();

private:
    void wireNeighbours();
    void log(std::string text);
    Expected<void, Error> sendMessage(const BridgeMessage& message, const PeerHandle& peer);
    void broadcast(const BridgeMessage& message);
    void refreshTrustedPeers();
    std::string hostNameForHello() const;

    // Device messages, by kind.
    Expected<void, Error> handleHello(const std::optional<JSONValue>& body, const PeerHandle& peer);
    void handlePairingRequest(const PeerHandle& peer);
    void handleRequest(const BridgeMessage& message, const PeerHandle& peer);
    void handleServerResponse(const BridgeMessage& message, const PeerHandle& peer);

    void setAppServerStatus(std::string text);
    void setAppServerReady(bool ready);
    void setLaunchAtLoginValue(bool value);
    void authorize(const std::string& name);
    void deauthorize(const std::string& name);
    void removePairingRequests(const std::string& id);

    BridgeNeighbours neighbours_;
    std::unique_ptr<BridgeIdentity> identity_;

    std::string appServerStatus_ = "Starting\u2026";
    bool appServerReady_ = false;
    std::vector<PairingRequest> pairingRequests_;
    std::vector<TrustedPeer> trustedPeers_;
    std::set<std::string> authorizedPeerNames_;
    std::deque<std::string> logs_;
    bool launchAtLogin_ = false;
    std::map<std::string, HelloPayload> localHellos_;
    std::map<std::string, HelloPayload> remoteHellos_;
    std::map<std::string, JSONValue> pendingServerRequests_;
    bool started_ = false;
};

} // namespace tarnwick
