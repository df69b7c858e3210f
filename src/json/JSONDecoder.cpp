#include "json/JSONDecoder.h"

#include "json/UTF8.h"

#if defined(__SSE4_2__)
#define RAPIDJSON_SSE42
#elif defined(__SSE2__)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>
#include <optional>
#include <span>
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

// Whether a byte below 0x20 stands unescaped inside a text. The reader's vectorised scan lets
// some through, depending on where the text lies in memory; a text kept as it was written must
// never carry one. Most lines hold no such byte at all, which one quick pass shows; only a line
// with tabs or line breaks between its tokens needs the slower look at what is inside a text.
bool hasRawControlInText(std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = s + text.size();
    bool anySpace = false;
    for (const auto* p = s; p < end; ++p) {
#if defined(__SSE2__)
        while (end - p >= 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i limit = _mm_set1_epi8(0x1F);
            // Bytes up to 0x1F, unsigned: max(byte, 0x1F) == 0x1F.
            if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(block, limit), limit)) != 0) {
                break;
            }
            p += 16;
        }
        if (p == end) {
            break;
        }
#endif
        if (*p >= 0x20) {
            continue;
        }
        if (*p != '\t' && *p != '\n' && *p != '\r') {
            return true; // neither white space between tokens nor allowed in a text
        }
        anySpace = true;
    }
    if (!anySpace) {
        return false;
    }
    bool inText = false;
    for (const auto* p = s; p < end; ++p) {
        if (inText) {
            if (*p == '\\') {
                if (p + 1 < end) {
                    ++p;
                }
            } else if (*p == '"') {
                inText = false;
            } else if (*p < 0x20) {
                return true;
            }
        } else if (*p == '"') {
            inText = true;
        }
    }
    return false;
}

// Working stacks of the containers still open, shared by all depths so that their memory is
// reused from one container, and one text, to the next.
struct Frame {
    bool isObject;
    std::size_t firstChild;
};

bool isJSONSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

class TreeBuilder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, TreeBuilder> {
public:
    enum class Failure { None, TooDeep, BadString, NumberTooLarge };

    void reset() {
        frames_.clear();
        elements_.clear();
        members_.clear();
        root_ = JSONValue();
        failure_ = Failure::None;
        raw_ = noRaw;
        rawTexts_.clear();
    }
    // The text being parsed, the stream that reads it and the members to keep as text.
    void setSource(std::string_view text, rapidjson::InsituStringStream* stream,
                   std::span<const std::string_view> rawNames) {
        text_ = text;
        stream_ = stream;
        rawNames_ = rawNames;
        rawTexts_.clear();
        rawTexts_.resize(rawNames.size());
    }
    // The compact texts of the members kept as text, in the order of their names.
    std::vector<std::optional<std::string>>& rawTexts() { return rawTexts_; }

    bool Null() { return inRaw() ? rawScalar() : add(JSONValue()); }
    bool Bool(bool value) { return inRaw() ? rawScalar() : add(JSONValue(value)); }
    bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
        std::optional<double> number = parseNumber(std::string_view(text, length));
        if (!number) {
            failure_ = Failure::NumberTooLarge;
            return false;
        }
        return inRaw() ? rawScalar() : add(JSONValue(*number));
    }
    bool String(const char* text, rapidjson::SizeType length, bool) {
        if (hasEncodedSurrogate(text, length)) {
            failure_ = Failure::BadString;
            return false;
        }
        return inRaw() ? rawScalar() : add(JSONValue(std::string(text, length)));
    }
    bool Key(const char* text, rapidjson::SizeType length, bool) {
        if (hasEncodedSurrogate(text, length)) {
            failure_ = Failure::BadString;
            return false;
        }
        if (inRaw()) {
            return true;
        }
        const std::string_view key(text, length);
        if (frames_.size() == 1) {
            for (std::size_t i = 0; i < rawNames_.size(); ++i) {
                if (rawNames_[i] == key) {
                    beginRaw(i);
                    return true;
                }
            }
        }
        members_.emplace_back(std::string(key), JSONValue());
        return true;
    }
    bool StartObject() { return push(true); }
    bool StartArray() { return push(false); }
    bool EndObject(rapidjson::SizeType) {
        const Frame frame = frames_.back();
        frames_.pop_back();
        if (inRaw()) {
            return frames_.size() == 1 ? finishRaw() : true;
        }
        std::vector<JSONObject::Member> members(
            std::make_move_iterator(members_.begin() + frame.firstChild),
            std::make_move_iterator(members_.end()));
        members_.resize(frame.firstChild);
        return add(JSONValue(JSONObject::fromMembers(std::move(members))));
    }
    bool EndArray(rapidjson::SizeType) {
        const Frame frame = frames_.back();
        frames_.pop_back();
        if (inRaw()) {
            return frames_.size() == 1 ? finishRaw() : true;
        }
        JSONArray elements(std::make_move_iterator(elements_.begin() + frame.firstChild),
                           std::make_move_iterator(elements_.end()));
        elements_.resize(frame.firstChild);
        return add(JSONValue(std::move(elements)));
    }

    JSONValue takeRoot() { return std::move(root_); }
    Failure failure() const { return failure_; }

private:
    static constexpr std::size_t noRaw = static_cast<std::size_t>(-1);

    bool inRaw() const { return raw_ != noRaw; }

    // A member of the top-level object to keep as text. The reader reports a name with the
    // stream at its opening quote or just past its closing one; the value starts after the name,
    // white space and the colon.
    void beginRaw(std::size_t index) {
        raw_ = index;
        std::size_t at = stream_->Tell();
        if (at < text_.size() && text_[at] == '"') {
            for (++at; at < text_.size() && text_[at] != '"'; ++at) {
                if (text_[at] == '\\') {
                    ++at;
                }
            }
            ++at;
        }
        while (at < text_.size() && (isJSONSpace(text_[at]) || text_[at] == ':')) {
            ++at;
        }
        rawStart_ = std::min(at, text_.size());
    }
    // The value is complete and checked as far as it goes: copied from where it starts.
    bool rawScalar() { return frames_.size() == 1 ? finishRaw() : true; }
    bool finishRaw() {
        std::optional<std::string>& text = rawTexts_[raw_];
        text.emplace();
        appendCompactJSONValue(*text, text_.substr(rawStart_));
        if (text->capacity() > 2 * text->size() + 64) {
            text->shrink_to_fit(); // room was made for the rest of the line
        }
        raw_ = noRaw;
        return true;
    }

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

    std::string_view text_;
    rapidjson::InsituStringStream* stream_ = nullptr;
    std::span<const std::string_view> rawNames_;
    std::vector<std::optional<std::string>> rawTexts_;
    // The member being kept as text (noRaw: none), and where its value starts in text_.
    std::size_t raw_ = noRaw;
    std::size_t rawStart_ = 0;
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
    return decode(text, {}, {});
}

Expected<JSONValue, Error> JSONDecoder::decode(std::string_view text,
                                               std::span<const std::string_view> rawNames,
                                               std::span<std::optional<JSONText>> rawValues) {
    for (std::optional<JSONText>& value : rawValues) {
        value.reset();
    }
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
    if (hasRawControlInText(text)) {
        return Unexpected(
            Error{"The data is not valid JSON: a text holds a raw control character."});
    }
    TreeBuilder& builder = state_->builder;
    builder.reset();
    state_->buffer.assign(text);
    state_->buffer.append(16, '\0');
    rapidjson::InsituStringStream stream(state_->buffer.data());
    builder.setSource(text, &stream, rawNames);
    rapidjson::ParseResult result = state_->reader.Parse<parseFlags>(stream, builder);
    if (text.size() > 1'000'000) {
        state_->buffer = std::string(); // keep no large copy around between texts
    }
    if (!result) {
        builder.reset();
        for (std::optional<JSONText>& value : rawValues) {
            value.reset();
        }
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
    for (std::size_t i = 0; i < rawValues.size() && i < rawNames.size(); ++i) {
        if (std::optional<std::string>& raw = builder.rawTexts()[i]) {
            rawValues[i] = JSONText(std::move(*raw));
        }
    }
    return builder.takeRoot();
}

} // namespace tarnwick
