#include "appserver/ErrorOutputFilter.h"

#include "json/UTF8.h"
#include "json/UTF8Text.h"

namespace tarnwick {

namespace {

constexpr char escape = '\x1b';
constexpr char bell = '\x07';

bool isWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isWhiteSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isWhiteSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Skips a control sequence's parameters and intermediates up to its final byte; returns the
// index after the final byte.
std::size_t skipControlSequence(std::string_view text, std::size_t i) {
    while (i < text.size()) {
        auto byte = static_cast<unsigned char>(text[i++]);
        if (byte >= 0x40 && byte <= 0x7E) {
            break;
        }
        if (byte < 0x20 || byte > 0x3F) {
            // Not part of a well-formed sequence: end it here.
            break;
        }
    }
    return i;
}

// Skips a string command (operating system command, device control string and the like) up to
// its terminator, a bell or ESC backslash (or the eight-bit string terminator).
std::size_t skipCommandString(std::string_view text, std::size_t i) {
    while (i < text.size()) {
        if (text[i] == bell) {
            return i + 1;
        }
        if (text[i] == escape && i + 1 < text.size() && text[i + 1] == '\\') {
            return i + 2;
        }
        if (text[i] == '\xc2' && i + 1 < text.size() && text[i + 1] == '\x9c') {
            return i + 2;
        }
        ++i;
    }
    return i;
}

} // namespace

std::string ErrorOutputFilter::withoutControlSequences(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        auto byte = static_cast<unsigned char>(c);
        if (c == escape) {
            if (i + 1 >= text.size()) {
                break;
            }
            char kind = text[i + 1];
            if (kind == '[') {
                i = skipControlSequence(text, i + 2);
            } else if (kind == ']' || kind == 'P' || kind == 'X' || kind == '^' || kind == '_') {
                i = skipCommandString(text, i + 2);
            } else {
                // Other escapes: intermediates (0x20-0x2F), then one final byte.
                i += 1;
                while (i < text.size() && static_cast<unsigned char>(text[i]) >= 0x20 &&
                       static_cast<unsigned char>(text[i]) <= 0x2F) {
                    ++i;
                }
                if (i < text.size() && static_cast<unsigned char>(text[i]) >= 0x30 &&
                    static_cast<unsigned char>(text[i]) <= 0x7E) {
                    ++i;
                }
            }
            continue;
        }
        if (byte == 0xC2 && i + 1 < text.size()) {
            // C1 controls, U+0080 to U+009F, are C2 80 to C2 9F in UTF-8.
            auto next = static_cast<unsigned char>(text[i + 1]);
            if (next >= 0x80 && next <= 0x9F) {
                if (next == 0x9B) {
                    i = skipControlSequence(text, i + 2);
                } else if (next == 0x9D || next == 0x90 || next == 0x98 || next == 0x9E ||
                           next == 0x9F) {
                    i = skipCommandString(text, i + 2);
                } else {
                    i += 2;
                }
                continue;
            }
        }
        if (c == '\r') {
            if (i + 1 >= text.size() || text[i + 1] != '\n') {
                result.push_back('\n');
            }
            ++i;
            continue;
        }
        if ((byte < 0x20 && c != '\t' && c != '\n') || byte == 0x7F) {
            ++i;
            continue;
        }
        result.push_back(c);
        ++i;
    }
    return result;
}

std::optional<std::string> ErrorOutputFilter::take(std::string_view bytes) {
    std::string joined;
    if (!carried_.empty()) {
        joined = std::move(carried_);
        carried_.clear();
        joined.append(bytes);
        bytes = joined;
    }
    std::size_t tail = unfinishedUTF8Tail(bytes);
    carried_.assign(bytes.substr(bytes.size() - tail));
    bytes.remove_suffix(tail);
    if (!isValidUTF8(bytes)) {
        return std::nullopt;
    }
    std::string text(trimmed(withoutControlSequences(bytes)));
    if (text.empty()) {
        return std::nullopt;
    }
    return text;
}

} // namespace tarnwick
