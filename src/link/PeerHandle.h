#pragma once

#include <memory>
#include <string>
#include <utility>

namespace tarnwick {

// One connected (or discovered) peer as the link knows it: an opaque object with a display
// name. Two handles are the same peer only when they point at the same object; a new
// connection is a new peer whatever its name.
class Peer {
public:
    explicit Peer(std::string displayName) : displayName_(std::move(displayName)) {}
    const std::string& displayName() const { return displayName_; }

private:
    std::string displayName_;
};

using PeerHandle = std::shared_ptr<const Peer>;

} // namespace tarnwick
