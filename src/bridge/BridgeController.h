#pragma once

#include "bridge/ApprovalRouter.h"
#include "bridge/BridgeAppServer.h"
#include "bridge/BridgeCeilings.h"
#include "bridge/BridgeIdentity.h"
#include "bridge/BridgeTrustStore.h"
#include "bridge/DeviceIntake.h"
#include "bridge/DeviceSender.h"
#include "bridge/PairingHandler.h"
#include "bridge/PairingRequest.h"
#include "bridge/PeerSessions.h"
#include "bridge/PhonePairingSecret.h"
#include "bridge/RequestRelay.h"
#include "link/BridgeLink.h"
#include "platform/HostNameService.h"
#include "platform/LoginItemService.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <string_view>
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
    // The most devices may ask Codex to do. Without it devices get the least: read-only, and
    // no folder to work in.
    std::unique_ptr<BridgeCeilings> ceilings;
    // The time the QR code's secret expires by; the steady clock when empty.
    PhonePairingSecret::Clock clock;
};

// The centre of the bridge, as the window and the terminal see it: the published state, the
// activity log, start, launch at login and the app-server restart. It owns the neighbours and
// the parts that do the work: the per-connection records (PeerSessions), the intake of device
// messages (DeviceIntake), pairing (PairingHandler), the request relay (RequestRelay) and the
// approval questions (ApprovalRouter). The neighbours reach it only through the handlers it
// installs (the link through its LinkEvents), which it takes back before it goes. Everything
// runs on the main thread.
class BridgeController : public QObject, private LinkEvents {
    Q_OBJECT
    Q_PROPERTY(QString appServerStatus READ appServerStatus NOTIFY appServerStatusChanged)
    Q_PROPERTY(bool appServerReady READ appServerReady NOTIFY appServerReadyChanged)
    Q_PROPERTY(bool launchAtLogin READ launchAtLogin NOTIFY launchAtLoginChanged)
    Q_PROPERTY(QString linkStatus READ linkStatus NOTIFY linkStatusChanged)
    // The TLS certificate's fingerprint grouped for people ("AB:CD:…"); "" before the link has
    // one.
    Q_PROPERTY(QString certificateFingerprint READ certificateFingerprint NOTIFY linkStatusChanged)
    // The same of the certificate authority a phone installs to verify this computer.
    Q_PROPERTY(QString authorityFingerprint READ authorityFingerprint NOTIFY linkStatusChanged)

public:
    static constexpr std::size_t maxLogLines = 100;
    // Shown with every device that paired with handshake version 1.
    static constexpr const char* versionOneNote =
        "paired with handshake version 1, which can be replayed: pair it again to upgrade";

    explicit BridgeController(BridgeNeighbours neighbours, QObject* parent = nullptr);
    ~BridgeController() override;

    // Starts the link and the app-server; runs once, later calls do nothing.
    Q_INVOKABLE void start();
    // The person's decision on the request they were shown: the waiting request with this
    // serial and this code. When there is none (it ended, or the serial names another code)
    // nothing is done and the result is false.
    [[nodiscard]] bool decide(std::uint64_t serial, std::string_view code,
                              PairingDecision decision);
    // The same for the window's Pair and Reject buttons.
    Q_INVOKABLE bool decideRequest(qulonglong serial, const QString& code, bool accept);
    // Taken by value: the list it usually comes from changes as it runs.
    void forget(TrustedPeer peer);
    Q_INVOKABLE void setLaunchAtLogin(bool wanted);
    Q_INVOKABLE void restartAppServer();

    Q_INVOKABLE void forgetPeer(const QString& deviceID);

    // Pairing by QR code: draws a new one-time secret (burning any older one), valid for five
    // minutes, and gives the address a phone opens with it,
    // "https://<address>:<port>/#pair=<secret>". Gives "" and opens nothing while the link has
    // no address or this computer no signing identity.
    Q_INVOKABLE QString openPhonePairing();
    // Burns the secret: the panel that showed it was closed.
    Q_INVOKABLE void closePhonePairing();

    QString appServerStatus() const { return QString::fromStdString(appServerStatus_); }
    bool appServerReady() const { return appServerReady_; }
    bool launchAtLogin() const { return launchAtLogin_; }
    QString linkStatus() const;
    QString certificateFingerprint() const;
    QString authorityFingerprint() const;
    const std::vector<PairingRequest>& pairingRequests() const { return pairing_.requests().all(); }
    const std::vector<TrustedPeer>& trustedPeers() const { return pairing_.trustedPeers(); }
    // Display names of the connected devices allowed to use the bridge.
    const std::set<std::string>& authorizedPeerNames() const { return sessions_.authorizedNames(); }
    // A name a device chose as people are shown it beside the names on show now: cut, spelled
    // out when it hides characters, marked when it looks like another (ShownNames).
    std::string shownName(std::string_view name) const { return pairing_.shownName(name); }
    ShownNames shownNames() const { return pairing_.shownNames(); }
    const std::deque<std::string>& logs() const { return logs_; }
    bool started() const { return started_; }
    std::size_t pendingServerRequestCount() const { return approvals_.openQuestionCount(); }
    // The approval questions: their wait limit, and news of the ones that wait for a device.
    ApprovalRouter& approvals() { return approvals_; }
    // A line of the application's own parts for the activity log (a failed notify command).
    void logLine(std::string text) { log(std::move(text)); }

    // The ceiling for every device and the lower ones given to some. Changed only on this
    // computer; the devices it applies to learn the new one at once.
    const CeilingBook& ceilings() const { return ceilings_; }
    [[nodiscard]] Expected<void, Error> setCeilings(CeilingBook book);

signals:
    void appServerStatusChanged();
    void appServerReadyChanged();
    void pairingRequestsChanged();
    void trustedPeersChanged();
    void authorizedPeerNamesChanged();
    // The names on show changed (requests, trusted devices, authorised connections): a name
    // may now be shown otherwise.
    void shownNamesChanged();
    void logsChanged();
    // One line was added to the activity log; it is now the first of logs().
    void lineLogged(const QString& line);
    void launchAtLoginChanged();
    void linkStatusChanged();
    void ceilingsChanged();
    // A device paired with the secret openPhonePairing gave; the secret is burnt.
    void phonePaired();

private:
    void wireNeighbours();
    // What the link reports.
    void received(std::string_view bytes, const PeerHandle& peer) override;
    void connected(const PeerHandle& peer) override;
    void ended(const PeerHandle& peer, SessionEnd reason) override;
    void disconnected(const PeerHandle& peer) override;
    void eased(const PeerHandle& peer) override;
    void statusChanged() override;
    ActivityLog activityLog();
    void log(std::string text);
    void sessionAuthorized(const PeerHandle& peer, const std::string& deviceID);
    DeviceCeiling ceilingFor(const PeerHandle& peer) const;
    void sendCeiling(const PeerHandle& peer);
    void holdSessionsForTheUser();
    void sessionEnding(const PeerHandle& peer, SessionEnd reason);
    void handleStatus(const std::string& text, bool ready);
    void handleLog(const std::string& text);
    void setAppServerStatus(std::string text);
    void setAppServerReady(bool ready);
    void setLaunchAtLoginValue(bool value);

    // Declared in the order they are made: each part refers to those above it.
    BridgeNeighbours neighbours_;
    std::unique_ptr<BridgeIdentity> identity_;

    std::string appServerStatus_ = "Starting\u2026";
    bool appServerReady_ = false;
    std::deque<std::string> logs_;
    bool launchAtLogin_ = false;
    bool started_ = false;

    PeerSessions sessions_;
    DeviceSender sender_;
    PhonePairingSecret phoneSecret_;
    PairingHandler pairing_;
    CeilingBook ceilings_;
    CeilingCheck ceilingCheck_;
    RequestRelay relay_;
    ApprovalRouter approvals_;
    DeviceIntake intake_;
};

} // namespace tarnwick
