#pragma once

#include "platform/Error.h"
#include "platform/Expected.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick {

// `count` bytes from OpenSSL's cryptographically secure generator.
Expected<std::string, Error> secureRandomBytes(std::size_t count);

std::array<std::uint8_t, 32> sha256(std::string_view bytes);

// `what` followed by the reason OpenSSL gave for the last failure on this thread; empties
// OpenSSL's error queue.
Error openSSLError(std::string_view what);

// Empties OpenSSL's error queue of this thread after a failure that is an answer, not an error.
void discardOpenSSLErrors();

} // namespace tarnwick
