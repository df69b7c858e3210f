#pragma once

#include "bridge/PeerSession.h"

#include <QObject>

#include <map>
#include <set>
#include <string>
#include <string_view>

namespace tarnwick {

// The records of the connected devices, one per peer handle, and the display names of the
// authorised ones derived from them. Main thread only. The table holds one record per
// connection the link announced and drops it at its end, so it is as bounded as the link's
// connection count.
//
// Sharing by display name. Devices of the current protocol are told apart only by the display
// name they chose, and two connections with one name share their handshake state and their
// authority: a hello or an authorisation on one is seen by the other, and the end of either
// clears both. That keeps what paired devices rely on today. Only the hellos and the authority
// are shared, in four places (open, find, the changes below and close), each marked; authority
// per connection replaces it once a device's later protocol identifies the connection itself.
class PeerSessions : public QObject {
    Q_OBJECT

public:
    explicit PeerSessions(QObject* parent = nullptr);

    // Opens the record of a new connection; a connection already known keeps its record.
    void open(const PeerHandle& peer);
    // Ends the connection's record. Its namesakes lose their shared state with it.
    void close(const PeerHandle& peer);

    // The connection's record, or nullptr when neither it nor a namesake is known. For a
    // connection not opened yet it is a namesake's record, of which only the shared part counts.
    const PeerSession* find(const PeerHandle& peer) const;
    bool isAuthorized(const PeerHandle& peer) const;

    void setLocalHello(const PeerHandle& peer, const HelloPayload& hello);
    void setRemoteHello(const PeerHandle& peer, const HelloPayload& hello);
    void authorize(const PeerHandle& peer, const std::string& deviceID);
    // Withdraws authority from every connection whose verified hello carries the device ID.
    void revokeDevice(std::string_view deviceID);

    // Display names of the authorised connections.
    const std::set<std::string>& authorizedNames() const { return authorizedNames_; }
    std::size_t size() const { return sessions_.size(); }

signals:
    void authorizedNamesChanged();

private:
    PeerSession& recordOf(const PeerHandle& peer);
    template <typename Change>
    void changeShared(const PeerHandle& peer, Change change);
    void refreshAuthorizedNames();

    std::map<PeerHandle, PeerSession> sessions_;
    std::set<std::string> authorizedNames_;
};

} // namespace tarnwick
