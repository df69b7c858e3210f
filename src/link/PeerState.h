#pragma once

namespace tarnwick {

// The state of one peer's session, numbered as devices and observers know them.
enum class PeerState { notConnected = 0, connecting = 1, connected = 2 };

} // namespace tarnwick
