#include "link/AvahiBrowser.h"

#include "platform/MainQueue.h"

#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <net/if.h>

namespace tarnwick {

namespace {

// The address as text; an IPv6 link-local address gets the scope of its interface.
std::string addressText(const AvahiAddress& address, AvahiIfIndex interface) {
    char text[AVAHI_ADDRESS_STR_MAX] = {};
    avahi_address_snprint(text, sizeof text, &address);
    std::string result = text;
    if (address.proto == AVAHI_PROTO_INET6 && address.data.ipv6.address[0] == 0xFE &&
        (address.data.ipv6.address[1] & 0xC0) == 0x80) {
        char name[IF_NAMESIZE] = {};
        if (interface >= 0 && if_indextoname(static_cast<unsigned>(interface), name)) {
            result += "%";
            result += name;
        }
    }
    return result;
}

std::map<std::string, std::string> txtRecord(AvahiStringList* list) {
    std::map<std::string, std::string> record;
    for (AvahiStringList* item = list; item; item = avahi_string_list_get_next(item)) {
        char* key = nullptr;
        char* value = nullptr;
        size_t size = 0;
        if (avahi_string_list_get_pair(item, &key, &value, &size) == 0) {
            // The first occurrence of a key counts (RFC 6763, section 6.4).
            record.emplace(key, value ? std::string(value, size) : std::string());
            avahi_free(key);
            avahi_free(value);
        }
    }
    return record;
}

} // namespace

AvahiBrowser::AvahiBrowser(std::string serviceType, QObject* parent)
    : QObject(parent), serviceType_(std::move(serviceType)) {}

AvahiBrowser::~AvahiBrowser() {
    connection_.reset();
}

Expected<void, Error> AvahiBrowser::start() {
    auto started = AvahiConnection::start(
        connection_, alive_, [this](AvahiClientState state, const std::string& failure) {
            clientChanged(state, failure);
        });
    if (!started) {
        failed_ = true;
    }
    return started;
}

void AvahiBrowser::clientChanged(AvahiClientState state, const std::string& failure) {
    if (failed_) {
        return;
    }
    if (state == AVAHI_CLIENT_FAILURE) {
        fail(failure);
        return;
    }
    if (state != AVAHI_CLIENT_S_RUNNING || browser_) {
        return;
    }
    std::string reason;
    {
        auto lock = connection_->lock();
        browser_ = avahi_service_browser_new(
            connection_->client(), AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, serviceType_.c_str(),
            nullptr, AvahiLookupFlags(0), &AvahiBrowser::browseCallback, this);
        if (!browser_) {
            reason = connection_->lastErrorText();
        }
    }
    if (!reason.empty()) {
        fail(reason);
    }
}

// Runs on Avahi's thread with the lock held.
void AvahiBrowser::browseCallback(AvahiServiceBrowser* browser, AvahiIfIndex interface,
                                  AvahiProtocol protocol, AvahiBrowserEvent event, const char* name,
                                  const char*, const char* domain, AvahiLookupResultFlags,
                                  void* userdata) {
    auto* self = static_cast<AvahiBrowser*>(userdata);
    const std::weak_ptr<char> alive(self->alive_);
    switch (event) {
    case AVAHI_BROWSER_NEW:
    case AVAHI_BROWSER_REMOVE: {
        AnnouncementKey key{interface, protocol, name, domain};
        postToMain([self, alive, event, key] {
            if (alive.lock()) {
                event == AVAHI_BROWSER_NEW ? self->announced(key) : self->withdrawn(key);
            }
        });
        break;
    }
    case AVAHI_BROWSER_FAILURE: {
        std::string reason =
            avahiErrorText(avahi_client_errno(avahi_service_browser_get_client(browser)));
        postToMain([self, alive, reason] {
            if (alive.lock()) {
                self->fail(reason);
            }
        });
        break;
    }
    case AVAHI_BROWSER_ALL_FOR_NOW:
    case AVAHI_BROWSER_CACHE_EXHAUSTED:
        break;
    }
}

void AvahiBrowser::announced(const AnnouncementKey& key) {
    if (failed_ || announcements_.count(key) != 0) {
        return;
    }
    Announcement& announcement = announcements_[key];
    announcement.ticket = std::make_unique<Ticket>(Ticket{this, nextTicket_++});
    const auto& [interface, protocol, name, domain] = key;
    auto lock = connection_->lock();
    // A resolver that fails leaves the announcement unresolved; the next announcement of the
    // service tries again.
    announcement.resolver = avahi_service_resolver_new(
        connection_->client(), interface, protocol, name.c_str(), serviceType_.c_str(),
        domain.c_str(), protocol, AvahiLookupFlags(0), &AvahiBrowser::resolveCallback,
        announcement.ticket.get());
}

// Runs on Avahi's thread with the lock held. The ticket stays valid while its resolver lives.
void AvahiBrowser::resolveCallback(AvahiServiceResolver*, AvahiIfIndex interface, AvahiProtocol,
                                   AvahiResolverEvent event, const char*, const char*, const char*,
                                   const char*, const AvahiAddress* address, uint16_t port,
                                   AvahiStringList* txt, AvahiLookupResultFlags, void* userdata) {
    const auto* ticket = static_cast<const Ticket*>(userdata);
    AvahiBrowser* self = ticket->browser;
    const std::uint64_t id = ticket->id;
    const std::weak_ptr<char> alive(self->alive_);
    if (event == AVAHI_RESOLVER_FOUND && address) {
        PeerEndpoint endpoint{addressText(*address, interface), port, txtRecord(txt)};
        postToMain([self, alive, id, endpoint] {
            if (alive.lock()) {
                self->resolved(id, endpoint);
            }
        });
    } else {
        postToMain([self, alive, id] {
            if (alive.lock()) {
                self->resolveFailed(id);
            }
        });
    }
}

void AvahiBrowser::freeResolver(Announcement& announcement) {
    if (announcement.resolver) {
        auto lock = connection_->lock();
        avahi_service_resolver_free(announcement.resolver);
        announcement.resolver = nullptr;
    }
}

void AvahiBrowser::resolved(std::uint64_t ticket, const PeerEndpoint& endpoint) {
    for (auto& [key, announcement] : announcements_) {
        if (!announcement.ticket || announcement.ticket->id != ticket) {
            continue;
        }
        freeResolver(announcement);
        const ServiceKey service{std::get<2>(key), std::get<3>(key)};
        if (peers_.count(service) == 0) {
            auto peer = std::make_shared<const Peer>(service.first, endpoint);
            peers_.emplace(service, peer);
            emit peerFound(peer);
        }
        return;
    }
}

void AvahiBrowser::resolveFailed(std::uint64_t ticket) {
    for (auto& [key, announcement] : announcements_) {
        if (announcement.ticket && announcement.ticket->id == ticket) {
            freeResolver(announcement);
            announcements_.erase(key);
            return;
        }
    }
}

void AvahiBrowser::withdrawn(const AnnouncementKey& key) {
    const auto found = announcements_.find(key);
    if (found == announcements_.end()) {
        return;
    }
    freeResolver(found->second);
    announcements_.erase(found);
    const ServiceKey service{std::get<2>(key), std::get<3>(key)};
    for (const auto& [other, announcement] : announcements_) {
        if (std::get<2>(other) == service.first && std::get<3>(other) == service.second) {
            return;
        }
    }
    const auto peer = peers_.find(service);
    if (peer != peers_.end()) {
        PeerHandle lost = peer->second;
        peers_.erase(peer);
        emit peerLost(lost);
    }
}

void AvahiBrowser::fail(const std::string& reason) {
    if (failed_) {
        return;
    }
    failed_ = true;
    emit failed(QString::fromStdString(reason));
}

} // namespace tarnwick
