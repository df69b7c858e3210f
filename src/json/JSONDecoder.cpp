#include "json/JSONDecoder.h"

#include "json/UTF8.h"

#if defined(__SSE4_2__)
#define RAPIDJSON_SSE42
#elif defined(__SSE2__)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <charconv>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

namespace {

// The whole text is checked for well-formed UTF-8 before parsing, which is faster than the
// reader's own check of every string; the tree builder then refuses the unpaired surrogates that
// the reader lets through as escapes.
// Texts are unescaped in place in the decoder's own copy of the input.
constexpr unsigned parseFlags = rapidjson::kParseIterativeFlag |
                                rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseInsituFlag;

// Whether a number that from_chars found out of range is too large (rather than too small) for
// a double.
bool overflows(std::string_view text) {
    const bool negative = !text.empty() && text.front() == '-';
    std::size_t i = negative ? 1 : 0;
    // Decimal position of the first significant digit relative to the decimal point.
    long long magnitude = 0;
    bool seenPoint = false, seenDigit = false;
    long long integerDigits = 0, leadingFractionZeros = 0;
    for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
        char c = text[i];
        if (c == '.') {
            seenPoint = true;
        } else if (!seenDigit && c == '0') {
            if (seenPoint) {
                ++leadingFractionZeros;
            }
        } else {
            seenDigit = true;
            if (!seenPoint) {
                ++integerDigits;
            }
        }
    }
    magnitude = integerDigits > 0 ? integerDigits : -leadingFractionZeros;
    if (i < text.size()) {
        long long exponent = 0;
        std::size_t j = i + 1;
        bool negativeExponent = false;
        if (j < text.size() && (text[j] == '-' || text[j] == '+')) {
            negativeExponent = text[j] == '-';
            ++j;
        }
        for (; j < text.size(); ++j) {
            if (exponent < 1'000'000'000) {
                exponent = exponent * 10 + (text[j] - '0');
            }
        }
        magnitude += negativeExponent ? -exponent : exponent;
    }
    return magnitude > 0;
}

// Every number becomes a double. One too small for a double rounds to zero as IEEE rounding
// makes it; one beyond the largest double cannot be held at all and is refused.
std::optional<double> parseNumber(std::string_view text) {
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    (void)end;
    if (error == std::errc::result_out_of_range) {
        if (overflows(text)) {
            return std::nullopt;
        }
        return text.front() == '-' ? -0.0 : 0.0;
    }
    return value;
}

// RapidJSON turns an escaped lone surrogate (\udc00) into the three bytes of that code point,
// which is not UTF-8. The input itself was checked, so such bytes can only come from an escape.
bool hasEncodedSurrogate(const char* text, std::size_t length) {
    const void* found = std::memchr(text, 0xED, length);
    while (found) {
        auto offset = static_cast<std::size_t>(static_cast<const char*>(found) - text);
        if (offset + 1 < length && static_cast<unsigned char>(text[offset + 1]) >= 0xA0) {
            return true;
        }
        found = std::memchr(text + offset + 1, 0xED, length - offset - 1);
    }
    return false;
}

// Working stacks of the containers still open, shared by all depths so that their memory is
// reused from one container, and one text, to the next.
struct Frame {
    bool isObject;
    std::size_t firstChild;
};

class TreeBuilder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, TreeBuilder> {
public:
    enum class Failure { None, TooDeep, BadString, NumberTooLarge };

    void reset() {
        frames_.clear();
        elements_.clear();
        members_.clear();
        root_ = JSONValue();
        failure_ = Failure::None;
    }

    bool Null() { return add(JSONValue()); }
    bool Bool(bool value) { return add(JSONValue(value)); }
    bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
        std::optional<double> number = parseNumber(std::string_view(text, length));
        if (!number) {
            failure_ = Failure::NumberTooLarge;
            return false;
        }
        return add(JSONValue(*number));
    }
    bool String(const char* text, rapidjson::SizeType length, bool) {
        if (hasEncodedSurrogate(text, length)) {
            failure_ = Failure::BadString;
            return false;
        }
        return add(JSONValue(std::string(text, length)));
    }
    bool Key(const char* text, rapidjson::SizeType length, bool) {
        if (hasEncodedSurrogate(text, length)) {
            failure_ = Failure::BadString;
            return false;
        }
        members_.emplace_back(std::string(text, length), JSONValue());
        return true;
    }
    bool StartObject() { return push(true); }
    bool StartArray() { return push(false); }
    bool EndObject(rapidjson::SizeType) {
        const Frame frame = frames_.back();
        frames_.pop_back();
        std::vector<JSONObject::Member> members(
            std::make_move_iterator(members_.begin() + frame.firstChild),
            std::make_move_iterator(members_.end()));
        members_.resize(frame.firstChild);
        return add(JSONValue(JSONObject::fromMembers(std::move(members))));
    }
    bool EndArray(rapidjson::SizeType) {
        const Frame frame = frames_.back();
        frames_.pop_back();
        JSONArray elements(std::make_move_iterator(elements_.begin() + frame.firstChild),
                           std::make_move_iterator(elements_.end()));
        elements_.resize(frame.firstChild);
        return add(JSONValue(std::move(elements)));
    }

    JSONValue takeRoot() { return std::move(root_); }
    Failure failure() const { return failure_; }

private:
    bool push(bool isObject) {
        if (frames_.size() >= static_cast<std::size_t>(JSONValue::maxDepth)) {
            failure_ = Failure::TooDeep;
            return false;
        }
        frames_.push_back({isObject, isObject ? members_.size() : elements_.size()});
        return true;
    }

    bool add(JSONValue value) {
        if (frames_.empty()) {
            root_ = std::move(value);
        } else if (frames_.back().isObject) {
            // Key() has put the member in place, waiting for its value.
            members_.back().second = std::move(value);
        } else {
            elements_.push_back(std::move(value));
        }
        return true;
    }

    std::vector<Frame> frames_;
    JSONArray elements_;
    std::vector<JSONObject::Member> members_;
    JSONValue root_;
    Failure failure_ = Failure::None;
};

} // namespace

struct JSONDecoder::State {
    rapidjson::Reader reader;
    TreeBuilder builder;
    // The reader stops at a NUL byte and scans ahead in aligned 16-byte blocks: the text is
    // copied here followed by a block of NUL bytes.
    std::string buffer;
};

JSONDecoder::JSONDecoder() : state_(std::make_unique<State>()) {}
JSONDecoder::~JSONDecoder() = default;

Expected<JSONValue, Error> JSONDecoder::decode(std::string_view text) {
    // The reader takes a NUL byte for the end of its input. JSON never contains one outside a
    // string (where it must be escaped), so any NUL byte makes the text invalid.
    if (const void* nul = std::memchr(text.data(), 0, text.size())) {
        auto offset = static_cast<const char*>(nul) - text.data();
        return Unexpected(Error{"The data is not valid JSON: a NUL byte at offset " +
                                std::to_string(offset) + "."});
    }
    if (!isValidUTF8(text)) {
        return Unexpected(Error{"The data is not valid JSON: a text is not well-formed UTF-8."});
    }
    TreeBuilder& builder = state_->builder;
    builder.reset();
    state_->buffer.assign(text);
    state_->buffer.append(16, '\0');
    rapidjson::InsituStringStream stream(state_->buffer.data());
    rapidjson::ParseResult result = state_->reader.Parse<parseFlags>(stream, builder);
    if (text.size() > 1'000'000) {
        state_->buffer = std::string(); // keep no large copy around between texts
    }
    if (!result) {
        builder.reset();
        std::string reason;
        switch (builder.failure()) {
        case TreeBuilder::Failure::TooDeep:
            reason = "it is nested deeper than 512 levels";
            break;
        case TreeBuilder::Failure::BadString:
            reason = "a text is not well-formed UTF-8";
            break;
        case TreeBuilder::Failure::NumberTooLarge:
            reason = "a number is beyond the range of a double";
            break;
        case TreeBuilder::Failure::None: {
            if (result.Code() == rapidjson::kParseErrorNumberTooBig) {
                reason = "a number is beyond the range of a double";
                break;
            }
            reason = rapidjson::GetParseError_En(result.Code());
            if (!reason.empty() && reason.back() == '.') {
                reason.pop_back();
            }
            break;
        }
        }
        return Unexpected(Error{"The data is not valid JSON: " + reason + " (at offset " +
                                std::to_string(result.Offset()) + ")."});
    }
    return builder.takeRoot();
}

} // namespace tarnwick
