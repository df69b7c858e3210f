#pragma once

#include "bridge/PeerSession.h"

#include <QObject>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// The records of the connected devices, one per peer handle, and the display names of the
// authorised ones derived from them. Main thread only. The table holds one record per
// connection the link announced and drops it at its end, so it is as bounded as the link's
// connection count. Each record stands alone: a second connection under a name in use starts
// from nothing, and what one connection proves or is granted never reaches another.
class PeerSessions : public QObject {
    Q_OBJECT

public:
    explicit PeerSessions(QObject* parent = nullptr);

    // Opens the record of a new connection with its handshake (of the version the link settled
    // for it); a connection already known keeps its record.
    void open(const PeerHandle& peer, std::unique_ptr<DeviceHandshake> handshake);
    // Ends the connection's record.
    void close(const PeerHandle& peer);

    // The connection's record, or nullptr when it is not open.
    const PeerSession* find(const PeerHandle& peer) const;
    PeerSession* find(const PeerHandle& peer);
    bool isAuthorized(const PeerHandle& peer) const;
    // The connections authorised as the device ID.
    std::vector<PeerHandle> authorizedAs(std::string_view deviceID) const;
    // Every open record, in no particular order; valid until the next open or close.
    std::vector<const PeerSession*> all() const;

    // Authorises an open connection as the device ID and destroys its handshake: a caller
    // holds nothing of that handshake past this call. False, and nothing changes, when the
    // connection is not open or its handshake is at no stage that may end in authority.
    [[nodiscard]] bool authorize(const PeerHandle& peer, const std::string& deviceID);
    // Withdraws authority from every connection authorised as the device ID, whatever it sent
    // since.
    void revokeDevice(std::string_view deviceID);

    // Display names of the authorised connections.
    const std::set<std::string>& authorizedNames() const { return authorizedNames_; }
    std::size_t size() const { return sessions_.size(); }

signals:
    void authorizedNamesChanged();
    // A connection was authorised as `deviceID`.
    void authorized(const tarnwick::PeerHandle& peer, const std::string& deviceID);

private:
    void refreshAuthorizedNames();

    std::map<PeerHandle, PeerSession> sessions_;
    std::set<std::string> authorizedNames_;
};

} // namespace tarnwick
