#include "link/AvahiPublisher.h"

#include "platform/MainQueue.h"

#include <avahi-common/error.h>
#include <avahi-common/strlst.h>

namespace tarnwick {

AvahiPublisher::AvahiPublisher(ServiceAnnouncement announcement, QObject* parent)
    : QObject(parent), announcement_(std::move(announcement)) {}

AvahiPublisher::~AvahiPublisher() {
    connection_.reset();
}

Expected<void, Error> AvahiPublisher::start() {
    auto started = AvahiConnection::start(
        connection_, alive_, [this](AvahiClientState state, const std::string& failure) {
            clientChanged(state, failure);
        });
    if (!started) {
        failed_ = true;
    }
    return started;
}

void AvahiPublisher::clientChanged(AvahiClientState state, const std::string& failure) {
    if (failed_) {
        return;
    }
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
        registerService();
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING: {
        // The daemon's own host name is changing; the service goes back up once it runs.
        auto lock = connection_->lock();
        if (group_) {
            avahi_entry_group_reset(group_);
        }
        break;
    }
    case AVAHI_CLIENT_FAILURE:
        fail(failure);
        break;
    case AVAHI_CLIENT_CONNECTING:
        break;
    }
}

void AvahiPublisher::registerService() {
    int error = AVAHI_OK;
    {
        auto lock = connection_->lock();
        if (!group_) {
            group_ =
                avahi_entry_group_new(connection_->client(), &AvahiPublisher::groupCallback, this);
            if (!group_) {
                error = avahi_client_errno(connection_->client());
            }
        }
        if (group_ && avahi_entry_group_is_empty(group_)) {
            AvahiStringList* txt = nullptr;
            for (const auto& [key, value] : announcement_.txt) {
                txt = avahi_string_list_add_pair(txt, key.c_str(), value.c_str());
            }
            error = avahi_entry_group_add_service_strlst(
                group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                announcement_.instanceName.c_str(), announcement_.type.c_str(), nullptr, nullptr,
                announcement_.port, txt);
            avahi_string_list_free(txt);
            if (error == AVAHI_OK) {
                error = avahi_entry_group_commit(group_);
            }
        }
    }
    if (error != AVAHI_OK) {
        fail(avahiErrorText(error));
    }
}

// Runs on Avahi's thread with the lock held.
void AvahiPublisher::groupCallback(AvahiEntryGroup* group, AvahiEntryGroupState state,
                                   void* userdata) {
    auto* self = static_cast<AvahiPublisher*>(userdata);
    std::string errorText;
    if (state == AVAHI_ENTRY_GROUP_COLLISION) {
        errorText = avahiErrorText(AVAHI_ERR_COLLISION);
    } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
        errorText = avahiErrorText(avahi_client_errno(avahi_entry_group_get_client(group)));
    }
    postToMain([self, alive = std::weak_ptr<char>(self->alive_), state, errorText] {
        if (alive.lock()) {
            self->groupChanged(state, errorText);
        }
    });
}

void AvahiPublisher::groupChanged(AvahiEntryGroupState state, const std::string& errorText) {
    if (failed_) {
        return;
    }
    if (state == AVAHI_ENTRY_GROUP_ESTABLISHED) {
        emit established();
    } else if (state == AVAHI_ENTRY_GROUP_COLLISION || state == AVAHI_ENTRY_GROUP_FAILURE) {
        fail(errorText);
    }
}

void AvahiPublisher::fail(const std::string& reason) {
    if (failed_) {
        return;
    }
    failed_ = true;
    emit failed(QString::fromStdString(reason));
}

} // namespace tarnwick
