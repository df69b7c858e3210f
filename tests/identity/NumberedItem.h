#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick::testing {

// Item values that say which save wrote them: "item <n>:" followed by a body whose length
// and bytes follow from n, so that a torn, mixed or empty value is told apart from any value
// that was ever written.
inline std::string numberedItem(std::uint64_t number) {
    std::string value = "item " + std::to_string(number) + ":";
    std::size_t length = 1 + (number * 7919) % 40000;
    for (std::size_t i = 0; i < length; ++i) {
        value += static_cast<char>((number * 31 + i * 7) % 256);
    }
    return value;
}

// The number of the save that wrote `value`, or nothing when no save could have written it.
inline std::optional<std::uint64_t> numberOfItem(std::string_view value) {
    if (value.substr(0, 5) != "item ") {
        return std::nullopt;
    }
    std::size_t colon = value.find(':');
    if (colon == std::string_view::npos || colon == 5 || colon > 25) {
        return std::nullopt;
    }
    std::uint64_t number = 0;
    for (char digit : value.substr(5, colon - 5)) {
        if (digit < '0' || digit > '9') {
            return std::nullopt;
        }
        number = number * 10 + static_cast<std::uint64_t>(digit - '0');
    }
    if (numberedItem(number) != value) {
        return std::nullopt;
    }
    return number;
}

} // namespace tarnwick::testing
