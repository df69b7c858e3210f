#pragma once

#include "platform/Error.h"
#include "platform/Expected.h"

#include <avahi-client/client.h>
#include <avahi-common/thread-watch.h>

#include <functional>
#include <memory>
#include <string>

namespace tarnwick {

// One connection to the Avahi daemon over the system bus, served by Avahi's own thread.
// Every call into Avahi from the main thread is made while holding `lock()`; Avahi's
// callbacks run on its thread with that lock held and hand their work to the main thread.
class AvahiConnection {
public:
    using StateHandler = std::function<void(AvahiClientState state)>;

    // Connects and starts Avahi's thread. Each state of the client reaches `onState` on the
    // main thread, in order. Fails with Avahi's error text, for example when the daemon is
    // not running.
    static Expected<std::unique_ptr<AvahiConnection>, Error> open(StateHandler onState);

    // The start-up the browser and the publisher share: opens `slot` unless it is open. While
    // `owner` lives and `slot` holds the connection, each state reaches `onState` on the main
    // thread; a failed client's comes with Avahi's error text, every other with none.
    using ClientHandler = std::function<void(AvahiClientState state, const std::string& failure)>;
    static Expected<void, Error> start(std::unique_ptr<AvahiConnection>& slot,
                                       std::weak_ptr<char> owner, ClientHandler onState);
    ~AvahiConnection();
    AvahiConnection(const AvahiConnection&) = delete;
    AvahiConnection& operator=(const AvahiConnection&) = delete;

    // Holds Avahi's lock for its lifetime.
    class Lock {
    public:
        explicit Lock(AvahiThreadedPoll* poll) : poll_(poll) { avahi_threaded_poll_lock(poll_); }
        ~Lock() { avahi_threaded_poll_unlock(poll_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        AvahiThreadedPoll* poll_;
    };
    [[nodiscard]] Lock lock() const { return Lock(poll_); }

    // Use under the lock.
    AvahiClient* client() const { return client_; }
    // The text of the client's last error; use under the lock.
    std::string lastErrorText() const;

    // Only `open` makes connections.
    struct Opening {};
    AvahiConnection(Opening, StateHandler onState);

private:
    static void clientChanged(AvahiClient* client, AvahiClientState state, void* userdata);

    StateHandler onState_;
    std::shared_ptr<char> alive_ = std::make_shared<char>();
    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
    bool running_ = false;
};

// Avahi's text for an error code.
std::string avahiErrorText(int error);

} // namespace tarnwick
