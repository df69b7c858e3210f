#pragma once

#include <cstdint>

namespace tarnwick {

// Stored times count seconds, fractions included, from the reference date
// 2001-01-01 00:00:00 UTC, not from the Unix epoch.
inline constexpr double referenceDateInUnixSeconds = 978307200.0;

constexpr double referenceSecondsFromUnixSeconds(double unixSeconds) {
    return unixSeconds - referenceDateInUnixSeconds;
}

constexpr std::int64_t unixMillisecondsFromReferenceSeconds(double referenceSeconds) {
    return static_cast<std::int64_t>((referenceSeconds + referenceDateInUnixSeconds) * 1000.0);
}

} // namespace tarnwick
