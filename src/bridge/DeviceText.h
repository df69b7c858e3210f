#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

// Text a device chose (its name, a description built from its bytes), cut to at most
// `maxBytes` bytes at a character boundary with "…" added when cut, so that no log line
// carries more than a few hundred bytes of it.
std::string boundedDeviceText(std::string_view text, std::size_t maxBytes = 200);

} // namespace tarnwick
