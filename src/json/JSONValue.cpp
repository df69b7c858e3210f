#include "json/JSONValue.h"

#include "json/JSONDecoder.h"
#include "json/UTF8.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarnwick {

// ---------------------------------------------------------------------------------------------
// JSONObject

namespace {

bool keyLess(const JSONObject::Member& member, std::string_view key) {
    return member.first < key;
}

} // namespace

JSONObject::JSONObject(std::initializer_list<Member> members)
    : JSONObject(fromMembers(std::vector<Member>(members))) {}

JSONObject JSONObject::fromMembers(std::vector<Member> members) {
    JSONObject object;
    auto notBefore = [](const Member& a, const Member& b) { return !(a.first < b.first); };
    if (std::adjacent_find(members.begin(), members.end(), notBefore) == members.end()) {
        object.members_ = std::move(members); // already sorted, keys unique
        return object;
    }
    if (members.size() <= 32) {
        // Insertion sort: stable, and without the buffer stable_sort allocates.
        for (std::size_t i = 1; i < members.size(); ++i) {
            std::size_t j = i;
            if (!(members[i].first < members[j - 1].first)) {
                continue;
            }
            Member moving = std::move(members[i]);
            for (; j > 0 && moving.first < members[j - 1].first; --j) {
                members[j] = std::move(members[j - 1]);
            }
            members[j] = std::move(moving);
        }
    } else {
        std::stable_sort(members.begin(), members.end(),
                         [](const Member& a, const Member& b) { return a.first < b.first; });
    }
    // Of each run of equal keys keep the last one, which the stable sort left at the run's end.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (i + 1 < members.size() && members[i + 1].first == members[i].first) {
            continue;
        }
        if (kept != i) {
            members[kept] = std::move(members[i]);
        }
        ++kept;
    }
    members.resize(kept);
    object.members_ = std::move(members);
    return object;
}

const JSONValue* JSONObject::find(std::string_view key) const {
    auto it = std::lower_bound(members_.begin(), members_.end(), key, keyLess);
    if (it == members_.end() || it->first != key) {
        return nullptr;
    }
    return &it->second;
}

void JSONObject::set(std::string key, JSONValue value) {
    auto it = std::lower_bound(members_.begin(), members_.end(), key, keyLess);
    if (it != members_.end() && it->first == key) {
        it->second = std::move(value);
        return;
    }
    members_.emplace(it, std::move(key), std::move(value));
}

bool JSONObject::erase(std::string_view key) {
    auto it = std::lower_bound(members_.begin(), members_.end(), key, keyLess);
    if (it == members_.end() || it->first != key) {
        return false;
    }
    members_.erase(it);
    return true;
}

std::optional<JSONValue> JSONObject::take(std::string_view key) {
    auto it = std::lower_bound(members_.begin(), members_.end(), key, keyLess);
    if (it == members_.end() || it->first != key) {
        return std::nullopt;
    }
    std::optional<JSONValue> value(std::move(it->second));
    members_.erase(it);
    return value;
}

bool operator==(const JSONObject& a, const JSONObject& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
        if (i->first != j->first || !(i->second == j->second)) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Destruction

JSONValue::~JSONValue() {
    if (holdsNestedContainers()) {
        destroyIteratively();
    }
}

bool JSONValue::holdsNestedContainers() const {
    auto isNonEmptyContainer = [](const JSONValue& value) {
        if (const auto* array = value.arrayValue()) {
            return !array->empty();
        }
        if (const auto* object = value.objectValue()) {
            return !object->empty();
        }
        return false;
    };
    if (const auto* array = arrayValue()) {
        return std::any_of(array->begin(), array->end(), isNonEmptyContainer);
    }
    if (const auto* object = objectValue()) {
        return std::any_of(object->begin(), object->end(),
                           [&](const auto& member) { return isNonEmptyContainer(member.second); });
    }
    return false;
}

void JSONValue::destroyIteratively() {
    // Children are moved onto a work list before their parent goes, so every destructor that
    // runs below sees at most one level of containers.
    std::vector<JSONValue> work;
    auto isNonEmptyContainer = [](const JSONValue& value) {
        const JSONArray* array = value.arrayValue();
        const JSONObject* object = value.objectValue();
        return (array && !array->empty()) || (object && !object->empty());
    };
    // Nested containers move onto the work list; everything else goes with its parent at once.
    auto takeChildren = [&](JSONValue& value) {
        if (auto* array = value.arrayValue()) {
            for (auto& element : *array) {
                if (isNonEmptyContainer(element)) {
                    work.push_back(std::move(element));
                }
            }
            array->clear();
        } else if (auto* object = value.objectValue()) {
            for (auto& member : object->members_) {
                if (isNonEmptyContainer(member.second)) {
                    work.push_back(std::move(member.second));
                }
            }
            object->members_.clear();
        }
    };
    takeChildren(*this);
    while (!work.empty()) {
        JSONValue value = std::move(work.back());
        work.pop_back();
        takeChildren(value);
    }
}

// ---------------------------------------------------------------------------------------------
// Accessors

std::optional<bool> JSONValue::boolValue() const {
    if (const bool* value = std::get_if<bool>(&payload_)) {
        return *value;
    }
    return std::nullopt;
}

std::optional<double> JSONValue::numberValue() const {
    if (const double* value = std::get_if<double>(&payload_)) {
        return *value;
    }
    return std::nullopt;
}

const JSONValue* JSONValue::member(std::string_view key) const {
    const JSONObject* object = objectValue();
    return object ? object->find(key) : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Equality

bool operator==(const JSONValue& a, const JSONValue& b) {
    // An explicit work list instead of recursion: equality must hold up at any depth.
    std::vector<std::pair<const JSONValue*, const JSONValue*>> work{{&a, &b}};
    while (!work.empty()) {
        auto [left, right] = work.back();
        work.pop_back();
        if (left->payload_.index() != right->payload_.index()) {
            return false;
        }
        switch (left->kind()) {
        case JSONValue::Kind::Bool:
        case JSONValue::Kind::Number:
        case JSONValue::Kind::String:
            if (left->payload_ != right->payload_) {
                return false;
            }
            break;
        case JSONValue::Kind::Array: {
            const auto& x = *left->arrayValue();
            const auto& y = *right->arrayValue();
            if (x.size() != y.size()) {
                return false;
            }
            for (std::size_t i = 0; i < x.size(); ++i) {
                work.emplace_back(&x[i], &y[i]);
            }
            break;
        }
        case JSONValue::Kind::Object: {
            const auto& x = *left->objectValue();
            const auto& y = *right->objectValue();
            if (x.size() != y.size()) {
                return false;
            }
            // Both are sorted by key with unique keys, so equal objects line up member by member.
            for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
                if (i->first != j->first) {
                    return false;
                }
                work.emplace_back(&i->second, &j->second);
            }
            break;
        }
        case JSONValue::Kind::Null:
            break;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Encoding

namespace {

constexpr double twoTo53 = 9007199254740992.0;
constexpr double twoTo63 = 9223372036854775808.0;

const char hexDigits[] = "0123456789abcdef";

// For each byte: 0 when it is copied as it stands, 1 when it needs an escape, 2 when it starts
// (or is part of) a multi-byte sequence that must be checked.
template <bool escapeSlash>
constexpr auto byteClasses = [] {
    std::array<unsigned char, 256> classes{};
    for (int c = 0; c < 0x20; ++c) {
        classes[c] = 1;
    }
    classes['"'] = classes['\\'] = 1;
    classes['/'] = escapeSlash ? 1 : 0;
    for (int c = 0x80; c < 0x100; ++c) {
        classes[c] = 2;
    }
    return classes;
}();

// Appends to a string through a raw cursor, growing it in large steps, so that writing a byte
// costs no capacity check of its own.
class Writer {
public:
    explicit Writer(std::string& out) : out_(out), used_(out.size()) {}
    ~Writer() { out_.resize(used_); }

    // Room for at least `count` more bytes from cursor().
    char* reserve(std::size_t count) {
        if (out_.size() - used_ < count) {
            out_.resize(std::max(out_.size() * 2, used_ + count + 64));
        }
        return out_.data() + used_;
    }
    void advanceTo(char* cursor) { used_ = static_cast<std::size_t>(cursor - out_.data()); }
    void append(std::string_view text) {
        char* cursor = reserve(text.size());
        std::memcpy(cursor, text.data(), text.size());
        used_ += text.size();
    }
    void push(char c) {
        *reserve(1) = c;
        ++used_;
    }
    std::size_t size() const { return used_; }
    void truncate(std::size_t size) { used_ = size; }

private:
    std::string& out_;
    std::size_t used_;
};

template <bool escapeSlash>
void appendString(Writer& writer, std::string_view text) {
    // An escape takes at most six bytes, a replacement character three.
    char* out = writer.reserve(text.size() * 6 + 2);
    *out++ = '"';
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = s + text.size();
    while (s < end) {
#if defined(__SSE2__)
        // Sixteen bytes at a time: copied unconditionally (there is room), then the cursor moves
        // up to the first byte that needs more than a copy.
        while (end - s >= 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), block);
            // Signed comparison: below 0x20 or at least 0x80.
            __m128i special = _mm_cmplt_epi8(block, _mm_set1_epi8(0x20));
            special = _mm_or_si128(special, _mm_cmpeq_epi8(block, _mm_set1_epi8('"')));
            special = _mm_or_si128(special, _mm_cmpeq_epi8(block, _mm_set1_epi8('\\')));
            if constexpr (escapeSlash) {
                special = _mm_or_si128(special, _mm_cmpeq_epi8(block, _mm_set1_epi8('/')));
            }
            const auto mask = static_cast<unsigned>(_mm_movemask_epi8(special));
            if (mask == 0) {
                s += 16;
                out += 16;
                continue;
            }
            const auto plain = static_cast<unsigned>(__builtin_ctz(mask));
            s += plain;
            out += plain;
            break;
        }
        if (s == end) {
            break;
        }
#endif
        const unsigned char c = *s;
        const unsigned char byteClass = byteClasses<escapeSlash>[c];
        if (byteClass == 0) {
            *out++ = static_cast<char>(c);
            ++s;
            continue;
        }
        if (byteClass == 2) {
            if (std::size_t length = utf8SequenceLength(s, end)) {
                std::memcpy(out, s, length);
                out += length;
                s += length;
                continue;
            }
            // A byte that is not part of valid UTF-8 would make the output invalid JSON; it is
            // written as the replacement character instead.
            std::memcpy(out, "\xEF\xBF\xBD", 3);
            out += 3;
            ++s;
            continue;
        }
        *out++ = '\\';
        switch (c) {
        case '"':
            *out++ = '"';
            break;
        case '\\':
            *out++ = '\\';
            break;
        case '/':
            *out++ = '/';
            break;
        case '\b':
            *out++ = 'b';
            break;
        case '\f':
            *out++ = 'f';
            break;
        case '\n':
            *out++ = 'n';
            break;
        case '\r':
            *out++ = 'r';
            break;
        case '\t':
            *out++ = 't';
            break;
        default:
            *out++ = 'u';
            *out++ = '0';
            *out++ = '0';
            *out++ = hexDigits[c >> 4];
            *out++ = hexDigits[c & 0xF];
        }
        ++s;
    }
    *out++ = '"';
    writer.advanceTo(out);
}

class Encoder {
public:
    Encoder(Writer& out, JSONValue::Slash slash) : out_(out), slash_(slash) {}

    bool write(const JSONValue& value, int depth) {
        switch (value.kind()) {
        case JSONValue::Kind::Bool:
            out_.append(*value.boolValue() ? "true" : "false");
            return true;
        case JSONValue::Kind::Number: {
            double number = *value.numberValue();
            if (!std::isfinite(number)) {
                error_ = "A number that is not finite cannot be written as JSON.";
                return false;
            }
            char buffer[32];
            out_.append(std::string_view(buffer, formatJSONNumber(buffer, number)));
            return true;
        }
        case JSONValue::Kind::String:
            text(*value.stringValue());
            return true;
        case JSONValue::Kind::Array: {
            if (!enter(depth)) {
                return false;
            }
            out_.push('[');
            bool first = true;
            for (const auto& element : *value.arrayValue()) {
                if (!first) {
                    out_.push(',');
                }
                first = false;
                if (!write(element, depth + 1)) {
                    return false;
                }
            }
            out_.push(']');
            return true;
        }
        case JSONValue::Kind::Object: {
            if (!enter(depth)) {
                return false;
            }
            out_.push('{');
            bool first = true;
            for (const auto& [key, member] : *value.objectValue()) {
                if (!first) {
                    out_.push(',');
                }
                first = false;
                text(key);
                out_.push(':');
                if (!write(member, depth + 1)) {
                    return false;
                }
            }
            out_.push('}');
            return true;
        }
        case JSONValue::Kind::Null:
            out_.append("null");
            return true;
        }
        return false;
    }

    const std::string& error() const { return error_; }

private:
    void text(std::string_view text) {
        slash_ == JSONValue::Slash::escaped ? appendString<true>(out_, text)
                                            : appendString<false>(out_, text);
    }

    bool enter(int depth) {
        if (depth >= JSONValue::maxDepth) {
            error_ = "The value is nested deeper than 512 levels.";
            return false;
        }
        return true;
    }

    Writer& out_;
    JSONValue::Slash slash_;
    std::string error_;
};

void appendShortestDouble(std::string& out, double number) {
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    out.append(buffer, result.ptr);
}

} // namespace

std::size_t formatJSONNumber(char (&buffer)[32], double number) {
    std::to_chars_result result;
    if (number == std::trunc(number) && std::fabs(number) < twoTo53) {
        result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<std::int64_t>(number));
    } else {
        result = std::to_chars(buffer, buffer + sizeof buffer, number);
    }
    return static_cast<std::size_t>(result.ptr - buffer);
}

void appendJSONNumber(std::string& out, double number) {
    char buffer[32];
    out.append(buffer, formatJSONNumber(buffer, number));
}

Expected<void, Error> JSONValue::encodeTo(std::string& out, Slash slash) const {
    const std::size_t mark = out.size();
    std::string error;
    {
        Writer writer(out);
        Encoder encoder(writer, slash);
        if (!encoder.write(*this, 0)) {
            writer.truncate(mark);
            error = encoder.error();
        }
    }
    if (!error.empty()) {
        return Unexpected(Error{std::move(error)});
    }
    return {};
}

Expected<std::string, Error> JSONValue::encode(Slash slash) const {
    std::string out;
    if (auto written = encodeTo(out, slash); !written) {
        return Unexpected(written.error());
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Display text

std::string JSONValue::displayText() const {
    switch (kind()) {
    case Kind::Bool:
        return *boolValue() ? "true" : "false";
    case Kind::Number: {
        double number = *numberValue();
        std::string text;
        if (number == std::trunc(number) && number >= -twoTo63 && number < twoTo63) {
            char buffer[24];
            auto result =
                std::to_chars(buffer, buffer + sizeof buffer, static_cast<std::int64_t>(number));
            text.assign(buffer, result.ptr);
        } else {
            appendShortestDouble(text, number);
        }
        return text;
    }
    case Kind::String:
        return *stringValue();
    case Kind::Array:
    case Kind::Object: {
        auto encoded = encode();
        return encoded ? std::move(encoded).value() : std::string();
    }
    case Kind::Null:
        return "null";
    }
    return {};
}

// ---------------------------------------------------------------------------------------------
// Decoding

Expected<JSONValue, Error> JSONValue::decode(std::string_view text) {
    JSONDecoder decoder;
    return decoder.decode(text);
}

} // namespace tarnwick
