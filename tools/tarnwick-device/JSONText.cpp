#include "tarnwick-device/JSONText.h"

namespace tarnwick {

std::string encoded(const JSONValue& value) {
    // Printed for people and their tools (grep turn/completed): slashes as they stand.
    auto text = value.encode(JSONValue::Slash::plain);
    return text ? *text : value.displayText();
}

std::string textAt(const JSONValue& value, std::string_view outer, std::string_view inner) {
    const JSONValue* first = value.member(outer);
    const JSONValue* second = first ? first->member(inner) : nullptr;
    return second && second->stringValue() ? *second->stringValue() : std::string();
}

std::string textOf(const JSONValue& value, std::string_view key) {
    const JSONValue* member = value.member(key);
    return member && member->stringValue() ? *member->stringValue() : std::string();
}

} // namespace tarnwick
