#pragma once

#include "json/JSONValue.h"

#include <string>
#include <string_view>

namespace tarnwick {

// How the commands print JSON and pick texts out of the bridge's answers and events.

// The value as compact JSON with slashes unescaped, or its display text when it cannot be
// encoded.
std::string encoded(const JSONValue& value);
// value[outer][inner] when it is a string, else "".
std::string textAt(const JSONValue& value, std::string_view outer, std::string_view inner);
// value[key] when it is a string, else "".
std::string textOf(const JSONValue& value, std::string_view key);

} // namespace tarnwick
