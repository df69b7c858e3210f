#pragma once

#include "json/JSONValue.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <array>
#include <string>
#include <utility>

namespace tarnwick {

// The text members of a hello-like record, by their JSON names.
template <typename Record, std::size_t N>
using TextMembers = std::array<std::pair<const char*, std::string Record::*>, N>;

template <typename Record, std::size_t N>
void writeTextMembers(const Record& record, const TextMembers<Record, N>& members,
                      JSONObject& object) {
    for (const auto& [name, field] : members) {
        object.set(name, record.*field);
    }
}

// Reads every member as a text; a missing or non-text member makes the whole record unreadable.
template <typename Record, std::size_t N>
Expected<Record, Error> readTextMembers(const JSONValue& value,
                                        const TextMembers<Record, N>& members) {
    const JSONObject* object = value.objectValue();
    if (!object) {
        return Unexpected(Error{"The hello is not a JSON object."});
    }
    Record record;
    for (const auto& [name, field] : members) {
        const JSONValue* member = object->find(name);
        if (!member) {
            return Unexpected(Error{std::string("The hello has no \"") + name + "\"."});
        }
        const std::string* text = member->stringValue();
        if (!text) {
            return Unexpected(Error{std::string("The hello's \"") + name + "\" is not a string."});
        }
        record.*field = *text;
    }
    return record;
}

} // namespace tarnwick
