#include "bridge/PairingAttemptLimit.h"

#include <algorithm>

namespace tarnwick {

bool PairingAttemptLimit::admit(std::string_view address, Clock::time_point now) {
    while (!recent_.empty() && now - recent_.front().at >= window_) {
        recent_.pop_front();
    }
    const auto fromAddress = std::count_if(recent_.begin(), recent_.end(),
                                           [&](const Attempt& a) { return a.address == address; });
    if (static_cast<int>(recent_.size()) >= total_ || fromAddress >= perAddress_) {
        return false;
    }
    recent_.push_back({now, std::string(address)});
    return true;
}

} // namespace tarnwick
