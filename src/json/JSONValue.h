#pragma once

#include "platform/Error.h"
#include "platform/Expected.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace tarnwick {

class JSONValue;

using JSONArray = std::vector<JSONValue>;

// A JSON object: text keys, unique, in no meaningful order. Members are kept sorted by key
// so that lookups, equality and encoding need no hashing and no second allocation per member.
class JSONObject {
public:
    using Member = std::pair<std::string, JSONValue>;
    using const_iterator = std::vector<Member>::const_iterator;

    JSONObject() = default;
    JSONObject(std::initializer_list<Member> members);

    // Takes members in any order; when a key repeats, the last occurrence wins.
    static JSONObject fromMembers(std::vector<Member> members);

    const JSONValue* find(std::string_view key) const;
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    // Adds the member or replaces the value of an existing one.
    void set(std::string key, JSONValue value);
    bool erase(std::string_view key);
    // Removes the member and hands its value over.
    std::optional<JSONValue> take(std::string_view key);

    std::size_t size() const;
    bool empty() const;
    const_iterator begin() const;
    const_iterator end() const;

    friend bool operator==(const JSONObject& a, const JSONObject& b);

private:
    friend class JSONValue;
    std::vector<Member> members_;
};

// The in-memory form of any JSON value. Numbers are always doubles: there is no integer case.
class JSONValue {
public:
    enum class Kind { Bool, Number, String, Array, Object, Null };

    // Values nested deeper than this are refused by decode and encode.
    static constexpr int maxDepth = 512;

    JSONValue() noexcept : payload_(nullptr) {}
    JSONValue(std::nullptr_t) noexcept : payload_(nullptr) {}
    JSONValue(bool value) noexcept : payload_(value) {}
    template <typename N>
    requires(std::is_arithmetic_v<N> && !std::is_same_v<N, bool> && !std::is_same_v<N, char>)
        JSONValue(N number)
    noexcept : payload_(static_cast<double>(number)) {}
    JSONValue(std::string text) noexcept : payload_(std::move(text)) {}
    JSONValue(std::string_view text) : payload_(std::string(text)) {}
    JSONValue(const char* text) : payload_(std::string(text)) {}
    JSONValue(JSONArray array) noexcept : payload_(std::move(array)) {}
    JSONValue(JSONObject object) noexcept : payload_(std::move(object)) {}

    JSONValue(const JSONValue&) = default;
    JSONValue(JSONValue&&) noexcept = default;
    JSONValue& operator=(const JSONValue&) = default;
    JSONValue& operator=(JSONValue&&) noexcept = default;
    // Tears deep trees down without recursion, so no depth can exhaust the stack.
    ~JSONValue();

    // Decodes one JSON text: any single value, a bare scalar included, with white space around it.
    static Expected<JSONValue, Error> decode(std::string_view text);

    // How a forward slash inside a text is written: escaped as "\/", the form of everything
    // the bridge sends, or as it stands, for JSON that people read and search.
    enum class Slash { escaped, plain };

    // Compact JSON text. Fails when a number anywhere is not finite or the value is nested
    // deeper than maxDepth.
    Expected<std::string, Error> encode(Slash slash = Slash::escaped) const;
    // Appends the encoding to `out`; on failure `out` is left as it was.
    Expected<void, Error> encodeTo(std::string& out, Slash slash = Slash::escaped) const;

    // A one-line text for people; never fails.
    std::string displayText() const;

    Kind kind() const { return static_cast<Kind>(payload_.index()); }
    bool isNull() const { return kind() == Kind::Null; }

    std::optional<bool> boolValue() const;
    std::optional<double> numberValue() const;
    const std::string* stringValue() const { return std::get_if<std::string>(&payload_); }
    const JSONArray* arrayValue() const { return std::get_if<JSONArray>(&payload_); }
    const JSONObject* objectValue() const { return std::get_if<JSONObject>(&payload_); }
    JSONArray* arrayValue() { return std::get_if<JSONArray>(&payload_); }
    JSONObject* objectValue() { return std::get_if<JSONObject>(&payload_); }

    // The member `key` when this is an object that has it.
    const JSONValue* member(std::string_view key) const;

    friend bool operator==(const JSONValue& a, const JSONValue& b);

private:
    bool holdsNestedContainers() const;
    void destroyIteratively();

    std::variant<bool, double, std::string, JSONArray, JSONObject, std::nullptr_t> payload_;
};

// Defined here, where JSONValue is complete.
inline std::size_t JSONObject::size() const {
    return members_.size();
}
inline bool JSONObject::empty() const {
    return members_.empty();
}
inline JSONObject::const_iterator JSONObject::begin() const {
    return members_.begin();
}
inline JSONObject::const_iterator JSONObject::end() const {
    return members_.end();
}

// Writes a number the way encode does: integral values below 2^53 as plain digits, everything
// else in the shortest text that reads back as the same double. The number must be finite.
void appendJSONNumber(std::string& out, double number);
// The same into a buffer; gives the length written.
std::size_t formatJSONNumber(char (&buffer)[32], double number);

} // namespace tarnwick
