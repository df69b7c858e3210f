#include "link/AvahiConnection.h"

#include "platform/MainQueue.h"

#include <avahi-common/error.h>

namespace tarnwick {

std::string avahiErrorText(int error) {
    return avahi_strerror(error);
}

AvahiConnection::AvahiConnection(Opening, StateHandler onState) : onState_(std::move(onState)) {}

Expected<std::unique_ptr<AvahiConnection>, Error> AvahiConnection::open(StateHandler onState) {
    auto connection = std::make_unique<AvahiConnection>(Opening{}, std::move(onState));
    connection->poll_ = avahi_threaded_poll_new();
    if (!connection->poll_) {
        return Unexpected(Error{avahiErrorText(AVAHI_ERR_NO_MEMORY)});
    }
    int error = 0;
    connection->client_ =
        avahi_client_new(avahi_threaded_poll_get(connection->poll_), AvahiClientFlags(0),
                         &AvahiConnection::clientChanged, connection.get(), &error);
    if (!connection->client_) {
        return Unexpected(Error{avahiErrorText(error)});
    }
    if (avahi_threaded_poll_start(connection->poll_) < 0) {
        return Unexpected(Error{avahiErrorText(AVAHI_ERR_FAILURE)});
    }
    connection->running_ = true;
    return connection;
}

Expected<void, Error> AvahiConnection::start(std::unique_ptr<AvahiConnection>& slot,
                                             std::weak_ptr<char> owner, ClientHandler onState) {
    if (slot) {
        return {};
    }
    auto connection = open(
        [&slot, owner = std::move(owner), onState = std::move(onState)](AvahiClientState state) {
            if (!owner.lock() || !slot) {
                return;
            }
            std::string failure;
            if (state == AVAHI_CLIENT_FAILURE) {
                auto lock = slot->lock();
                failure = slot->lastErrorText();
            }
            onState(state, failure);
        });
    if (!connection) {
        return Unexpected(connection.error());
    }
    slot = std::move(*connection);
    return {};
}

AvahiConnection::~AvahiConnection() {
    if (running_) {
        avahi_threaded_poll_stop(poll_);
    }
    if (client_) {
        avahi_client_free(client_); // frees every browser, resolver and entry group made on it
    }
    if (poll_) {
        avahi_threaded_poll_free(poll_);
    }
}

std::string AvahiConnection::lastErrorText() const {
    return client_ ? avahiErrorText(avahi_client_errno(client_)) : std::string();
}

// Runs on Avahi's thread, or inside avahi_client_new on the caller's.
void AvahiConnection::clientChanged(AvahiClient*, AvahiClientState state, void* userdata) {
    auto* self = static_cast<AvahiConnection*>(userdata);
    postToMain([self, alive = std::weak_ptr<char>(self->alive_), state] {
        if (alive.lock()) {
            self->onState_(state);
        }
    });
}

} // namespace tarnwick
