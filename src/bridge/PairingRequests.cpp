#include "bridge/PairingRequests.h"

#include <algorithm>
#include <utility>

namespace tarnwick {

void PairingRequests::add(PairingRequest request) {
    request.serial = nextSerial_++;
    std::erase_if(requests_,
                  [&](const PairingRequest& shown) { return shown.peer == request.peer; });
    requests_.push_back(std::move(request));
    emit changed();
}

bool PairingRequests::removeFor(const PeerHandle& peer) {
    if (std::erase_if(requests_,
                      [&](const PairingRequest& request) { return request.peer == peer; }) == 0) {
        return false;
    }
    emit changed();
    return true;
}

bool PairingRequests::remove(std::uint64_t serial) {
    if (std::erase_if(requests_, [&](const PairingRequest& request) {
            return request.serial == serial;
        }) == 0) {
        return false;
    }
    emit changed();
    return true;
}

const PairingRequest* PairingRequests::find(std::uint64_t serial, std::string_view code) const {
    auto found =
        std::find_if(requests_.begin(), requests_.end(), [&](const PairingRequest& request) {
            return request.serial == serial && request.code == code;
        });
    return found == requests_.end() ? nullptr : &*found;
}

} // namespace tarnwick
