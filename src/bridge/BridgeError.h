#pragma once

#include <string>

namespace tarnwick {

// A failure reported by one of the controller's neighbours, reduced to what the controller
// shows: its human-readable description.
struct BridgeError {
    std::string description;
};

} // namespace tarnwick
