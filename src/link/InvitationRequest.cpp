#include "link/InvitationRequest.h"

#include "link/AsciiCase.h"
#include "link/LinkWire.h"
#include "link/PercentEncoding.h"

#include <algorithm>
#include <array>
#include <map>
#include <vector>

namespace tarnwick {

namespace {

constexpr std::string_view lineEnd = "\r\n";
constexpr std::string_view headerEnd = "\r\n\r\n";

Unexpected<Error> refused(std::string description) {
    return Unexpected(Error{std::move(description)});
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return asciiLowered(x) == asciiLowered(y);
           });
}

std::string_view trimmed(std::string_view text) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// RFC 9110 token characters, the only ones a header name may hold.
bool isTokenChar(char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

// Header values may hold anything but control characters (a tab is allowed).
bool isValidHeaderValue(std::string_view value) {
    return std::none_of(value.begin(), value.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && byte != '\t') || byte == 0x7F;
    });
}

// Request targets are visible ASCII only; non-ASCII names travel percent-encoded.
bool isValidTarget(std::string_view target) {
    return !target.empty() && target.front() == '/' &&
           std::all_of(target.begin(), target.end(), [](char c) {
               const auto byte = static_cast<unsigned char>(c);
               return byte > 0x20 && byte < 0x7F && c != '#';
           });
}

// Host is a registered name, an IPv4 address or a bracketed IPv6 address, with an optional port.
bool isValidHost(std::string_view host) {
    return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
        return isTokenChar(c) || std::string_view(":[]()*,;=@!$'").find(c) != std::string::npos;
    });
}

// The comma-separated elements of a list header, gathered over every line that carries it.
std::vector<std::string_view> listElements(const std::vector<std::string>& lines) {
    std::vector<std::string_view> elements;
    for (const std::string& line : lines) {
        std::string_view rest(line);
        while (!rest.empty()) {
            const std::size_t comma = rest.find(',');
            const std::string_view element = trimmed(rest.substr(0, comma));
            if (!element.empty()) {
                elements.push_back(element);
            }
            if (comma == std::string_view::npos) {
                break;
            }
            rest.remove_prefix(comma + 1);
        }
    }
    return elements;
}

bool listContainsIgnoringCase(const std::vector<std::string>& lines, std::string_view wanted) {
    const auto elements = listElements(lines);
    return std::any_of(elements.begin(), elements.end(), [&](std::string_view element) {
        return equalsIgnoringCase(element, wanted);
    });
}

// A Sec-WebSocket-Key is 16 random bytes in base64: 22 significant characters and "==".
bool isValidWebSocketKey(std::string_view key) {
    if (key.size() != 24 || key.substr(22) != "==") {
        return false;
    }
    const auto isBase64 = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '+' || c == '/';
    };
    return std::all_of(key.begin(), key.begin() + 22, isBase64) &&
           std::string_view("AQgw").find(key[21]) != std::string_view::npos;
}

// The next code point of valid UTF-8 at the start of `text` and its length in bytes.
std::optional<std::pair<char32_t, std::size_t>> nextCodePoint(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    char32_t value = 0;
    char32_t smallest = 0;
    if (lead < 0x80) {
        return std::pair<char32_t, std::size_t>{lead, 1};
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, smallest = 0x10000;
    } else {
        return std::nullopt;
    }
    if (text.size() < length) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) != 0x80) {
            return std::nullopt;
        }
        value = (value << 6) | (byte & 0x3F);
    }
    if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return std::nullopt;
    }
    return std::pair<char32_t, std::size_t>{value, length};
}

bool isControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

struct Target {
    std::string_view path;
    std::optional<std::string> peerName;
};

Expected<Target, Error> parseTarget(std::string_view target) {
    if (!isValidTarget(target)) {
        return refused("Malformed request target.");
    }
    Target result;
    const std::size_t question = target.find('?');
    result.path = target.substr(0, question);
    if (result.path != linkwire::sessionPath) {
        return refused("Unknown path.");
    }
    if (question == std::string_view::npos) {
        return result;
    }
    std::string_view query = target.substr(question + 1);
    while (true) {
        const std::size_t ampersand = query.find('&');
        const std::string_view parameter = query.substr(0, ampersand);
        const std::size_t equals = parameter.find('=');
        const auto key = percentDecode(parameter.substr(0, equals));
        if (key && *key == linkwire::peerQueryKey) {
            if (result.peerName) {
                return refused("More than one peer name.");
            }
            auto value =
                percentDecode(equals == std::string_view::npos ? std::string_view()
                                                               : parameter.substr(equals + 1));
            if (!value) {
                return refused("Peer name is not percent-encoded.");
            }
            result.peerName = std::move(*value);
        }
        if (ampersand == std::string_view::npos) {
            break;
        }
        query.remove_prefix(ampersand + 1);
    }
    return result;
}

} // namespace

bool isValidPeerDisplayName(std::string_view name) {
    if (name.empty() || name.size() > linkwire::maxPeerNameBytes) {
        return false;
    }
    while (!name.empty()) {
        const auto next = nextCodePoint(name);
        if (!next || isControl(next->first)) {
            return false;
        }
        name.remove_prefix(next->second);
    }
    return true;
}

std::optional<std::size_t> InvitationRequest::headerLength(std::string_view buffered) {
    const std::size_t end = buffered.find(headerEnd);
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    return end + headerEnd.size();
}

namespace {

using HeaderFields = std::map<std::string, std::vector<std::string>>;

// A header block read line by line, with nothing yet judged but its form.
struct HeaderBlock {
    std::string_view method;
    std::string_view target;
    HeaderFields fields;

    const std::vector<std::string>& field(const char* name) const {
        static const std::vector<std::string> none;
        const auto found = fields.find(name);
        return found == fields.end() ? none : found->second;
    }
};

// The checks every request passes, an upgrade or a page: size, request line, header lines and
// one well-formed Host.
Expected<HeaderBlock, Error> readBlock(std::string_view header) {
    if (header.size() > InvitationRequest::maxHeaderBytes) {
        return refused("Request header too large.");
    }
    if (InvitationRequest::headerLength(header) != header.size()) {
        return refused("Incomplete request header.");
    }
    header.remove_suffix(lineEnd.size()); // every line, the last included, now ends in CRLF

    std::vector<std::string_view> lines;
    while (!header.empty()) {
        const std::size_t end = header.find(lineEnd);
        lines.push_back(header.substr(0, end));
        header.remove_prefix(end + lineEnd.size());
    }
    if (lines.size() > InvitationRequest::maxHeaderLines) {
        return refused("Too many header lines.");
    }

    // Request line: exactly "<method> <target> HTTP/1.1".
    const std::string_view requestLine = lines.front();
    const std::size_t firstSpace = requestLine.find(' ');
    const std::size_t lastSpace = requestLine.rfind(' ');
    if (firstSpace == std::string_view::npos || firstSpace == lastSpace ||
        !isToken(requestLine.substr(0, firstSpace))) {
        return refused("Not an HTTP request.");
    }
    if (requestLine.substr(lastSpace + 1) != "HTTP/1.1") {
        return refused("Not an HTTP/1.1 request.");
    }
    HeaderBlock block;
    block.method = requestLine.substr(0, firstSpace);
    block.target = requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1);
    if (!isValidTarget(block.target)) {
        return refused("Malformed request target.");
    }

    for (auto line = lines.begin() + 1; line != lines.end(); ++line) {
        const std::size_t colon = line->find(':');
        if (colon == std::string_view::npos || !isToken(line->substr(0, colon))) {
            return refused("Malformed header line.");
        }
        const std::string_view value = trimmed(line->substr(colon + 1));
        if (!isValidHeaderValue(value)) {
            return refused("Malformed header line.");
        }
        block.fields[asciiLowercase(line->substr(0, colon))].emplace_back(value);
    }
    const auto& host = block.field("host");
    if (host.size() != 1 || !isValidHost(host.front())) {
        return refused("Missing or malformed Host header.");
    }
    return block;
}

} // namespace

Expected<HttpRequestHead, Error> HttpRequestHead::parse(std::string_view header) {
    auto block = readBlock(header);
    if (!block) {
        return Unexpected(block.error());
    }
    HttpRequestHead head;
    head.method = std::string(block->method);
    head.target = std::string(block->target);
    head.host = block->field("host").front();
    const auto& origin = block->field("origin");
    if (origin.size() > 1) {
        return refused("More than one Origin header.");
    }
    if (!origin.empty()) {
        head.origin = origin.front();
    }
    head.asksUpgrade = !block->field("upgrade").empty();
    head.asksClose = listContainsIgnoringCase(block->field("connection"), "close");
    const auto& length = block->field("content-length");
    head.hasBody = !block->field("transfer-encoding").empty() ||
                   std::any_of(length.begin(), length.end(),
                               [](const std::string& value) { return value != "0"; });
    return head;
}

bool HttpRequestHead::isSessionRequest() const {
    const std::string_view path = std::string_view(target).substr(0, target.find('?'));
    return asksUpgrade || path == linkwire::sessionPath;
}

Expected<Invitation, Error> InvitationRequest::parse(std::string_view header) {
    auto block = readBlock(header);
    if (!block) {
        return Unexpected(block.error());
    }
    if (block->method != "GET") {
        return refused("Only GET opens a session.");
    }
    auto target = parseTarget(block->target);
    if (!target) {
        return Unexpected(target.error());
    }
    if (!target->peerName) {
        return refused("Missing peer name.");
    }
    if (!isValidPeerDisplayName(*target->peerName)) {
        return refused("Invalid peer name.");
    }
    const auto field = [&](const char* name) -> const std::vector<std::string>& {
        return block->field(name);
    };

    if (!listContainsIgnoringCase(field("upgrade"), "websocket") ||
        !listContainsIgnoringCase(field("connection"), "upgrade")) {
        return refused("Not a WebSocket upgrade.");
    }
    const auto& version = field("sec-websocket-version");
    if (version.size() != 1 || version.front() != "13") {
        return refused("Unsupported WebSocket version.");
    }
    const auto& key = field("sec-websocket-key");
    if (key.size() != 1 || !isValidWebSocketKey(key.front())) {
        return refused("Missing or malformed WebSocket key.");
    }

    Invitation invitation;
    invitation.displayName = std::move(*target->peerName);
    const auto offered = listElements(field("sec-websocket-protocol"));
    invitation.offersSubprotocol =
        std::find(offered.begin(), offered.end(), linkwire::subprotocol) != offered.end();
    return invitation;
}

std::string invitationRefusal(int status, std::string_view reason, std::string_view extraHeaders) {
    static const std::array<std::pair<int, std::string_view>, 6> phrases{{
        {400, "Bad Request"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {421, "Misdirected Request"},
        {503, "Service Unavailable"},
    }};
    std::string_view phrase = "Error";
    for (const auto& [code, text] : phrases) {
        if (code == status) {
            phrase = text;
        }
    }
    std::string body(reason);
    body += "\n";
    std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + std::string(phrase) + "\r\n";
    answer += "Connection: close\r\n";
    answer += extraHeaders;
    answer += "Content-Type: text/plain; charset=utf-8\r\n";
    // A refusal is shown by browsers too (the page's address mistyped, a probe in a frame): it
    // runs nothing, is framed nowhere, sniffed as nothing else and leaks no referrer.
    answer += "Content-Security-Policy: default-src 'none'; frame-ancestors 'none'\r\n";
    answer += "X-Content-Type-Options: nosniff\r\n";
    answer += "Referrer-Policy: no-referrer\r\n";
    answer += "X-Frame-Options: DENY\r\n";
    answer += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    answer += body;
    return answer;
}

} // namespace tarnwick
