#pragma once

#include "link/AvahiConnection.h"
#include "link/PeerHandle.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <QObject>
#include <QString>

#include <avahi-client/lookup.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <tuple>

namespace tarnwick {

// Browses one DNS-SD service type through the Avahi daemon and resolves what it finds. A
// service becomes a peer (named after the service instance, carrying the first address, port
// and TXT record it resolved to) once one of its announcements has resolved, and is lost when
// its last announcement (on any interface and address family) is gone.
class AvahiBrowser : public QObject {
    Q_OBJECT
public:
    explicit AvahiBrowser(std::string serviceType, QObject* parent = nullptr);
    ~AvahiBrowser() override;

    Expected<void, Error> start();

signals:
    void peerFound(const tarnwick::PeerHandle& peer);
    void peerLost(const tarnwick::PeerHandle& peer);
    void failed(const QString& reason);

private:
    // One announcement: a service instance on one interface and address family.
    using AnnouncementKey = std::tuple<AvahiIfIndex, AvahiProtocol, std::string, std::string>;
    // What a resolver callback needs to find its way back; lives as long as its resolver.
    struct Ticket {
        AvahiBrowser* browser = nullptr;
        std::uint64_t id = 0;
    };
    struct Announcement {
        std::unique_ptr<Ticket> ticket;
        AvahiServiceResolver* resolver = nullptr;
    };
    // A service instance, by name and domain.
    using ServiceKey = std::pair<std::string, std::string>;

    void clientChanged(AvahiClientState state, const std::string& failure);
    void announced(const AnnouncementKey& key);
    void withdrawn(const AnnouncementKey& key);
    void resolved(std::uint64_t ticket, const PeerEndpoint& endpoint);
    void resolveFailed(std::uint64_t ticket);
    void fail(const std::string& reason);
    void freeResolver(Announcement& announcement);

    static void browseCallback(AvahiServiceBrowser* browser, AvahiIfIndex interface,
                               AvahiProtocol protocol, AvahiBrowserEvent event, const char* name,
                               const char* type, const char* domain, AvahiLookupResultFlags flags,
                               void* userdata);
    static void resolveCallback(AvahiServiceResolver* resolver, AvahiIfIndex interface,
                                AvahiProtocol protocol, AvahiResolverEvent event, const char* name,
                                const char* type, const char* domain, const char* hostName,
                                const AvahiAddress* address, uint16_t port, AvahiStringList* txt,
                                AvahiLookupResultFlags flags, void* userdata);

    std::string serviceType_;
    AvahiServiceBrowser* browser_ = nullptr; // freed with the connection's client
    bool failed_ = false;
    std::uint64_t nextTicket_ = 1;
    std::map<AnnouncementKey, Announcement> announcements_;
    std::map<ServiceKey, PeerHandle> peers_;
    std::shared_ptr<char> alive_ = std::make_shared<char>();
    std::unique_ptr<AvahiConnection> connection_; // last: goes first, stopping Avahi's thread
};

} // namespace tarnwick
