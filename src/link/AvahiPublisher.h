#pragma once

#include "link/AvahiConnection.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <QObject>
#include <QString>

#include <avahi-client/publish.h>

#include <map>
#include <memory>
#include <string>

namespace tarnwick {

// What a host publishes over DNS-SD.
struct ServiceAnnouncement {
    std::string instanceName;
    std::string type;
    quint16 port = 0;
    std::map<std::string, std::string> txt;
};

// Publishes one DNS-SD service through the Avahi daemon for as long as it lives. When the
// daemon's host name changes the service is registered again; a failure is reported once,
// with Avahi's text, and nothing is retried.
class AvahiPublisher : public QObject {
    Q_OBJECT
public:
    explicit AvahiPublisher(ServiceAnnouncement announcement, QObject* parent = nullptr);
    ~AvahiPublisher() override;

    // Connects to the daemon; the service is registered as soon as the daemon is ready.
    Expected<void, Error> start();

signals:
    void established();
    void failed(const QString& reason);

private:
    void clientChanged(AvahiClientState state, const std::string& failure);
    void groupChanged(AvahiEntryGroupState state, const std::string& errorText);
    void registerService();
    void fail(const std::string& reason);
    static void groupCallback(AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata);

    ServiceAnnouncement announcement_;
    AvahiEntryGroup* group_ = nullptr; // freed with the connection's client
    bool failed_ = false;
    std::shared_ptr<char> alive_ = std::make_shared<char>();
    std::unique_ptr<AvahiConnection> connection_; // last: goes first, stopping Avahi's thread
};

} // namespace tarnwick
