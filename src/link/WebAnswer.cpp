#include "link/WebAnswer.h"

#include "link/AsciiCase.h"

#include <algorithm>

namespace tarnwick {

namespace {

std::string_view cacheControl(WebCaching caching) {
    switch (caching) {
    case WebCaching::noStore:
        return "no-store";
    case WebCaching::noCache:
        return "no-cache";
    case WebCaching::immutable:
        return "public, max-age=31536000, immutable";
    }
    return "no-store";
}

// Paths the table could never hold, refused before the look-up: no walking up, no escapes,
// no empty segments, no backslashes, no queries.
bool isPlainPath(std::string_view target) {
    return target.find("..") == std::string_view::npos &&
           target.find_first_of("%\\?") == std::string_view::npos &&
           target.find("//") == std::string_view::npos;
}

WebAnswer refusal(int status, std::string_view reason, std::string_view extraHeaders = {}) {
    return {status, invitationRefusal(status, reason, extraHeaders), true};
}

} // namespace

HostNames::HostNames(const std::vector<std::string>& hostNames,
                     const std::vector<std::string>& addresses, unsigned short port)
    : port_(std::to_string(port)) {
    for (const std::string& name : hostNames) {
        names_.insert(asciiLowercase(name));
    }
    for (const std::string& address : addresses) {
        const bool ipv6 = address.find(':') != std::string::npos;
        const std::string lowered = asciiLowercase(address);
        names_.insert(ipv6 ? "[" + lowered + "]" : lowered);
    }
}

bool HostNames::answersTo(std::string_view host) const {
    // The port follows the last colon outside an IPv6 address's brackets.
    std::size_t colon = host.find(':');
    if (host.starts_with('[')) {
        const std::size_t bracket = host.find(']');
        if (bracket == std::string_view::npos) {
            return false;
        }
        colon = bracket + 1 < host.size() ? bracket + 1 : std::string_view::npos;
        if (colon != std::string_view::npos && host[colon] != ':') {
            return false;
        }
    }
    std::string name = asciiLowercase(host.substr(0, colon));
    if (colon != std::string_view::npos && host.substr(colon + 1) != port_) {
        return false;
    }
    // A link-local IPv6 address names its zone ("[fe80::1%eth0]", as devices that found the
    // bridge over DNS-SD write it); the zone is the sender's, not part of the address.
    if (const std::size_t zone = name.find('%'); name.starts_with('[') && zone != name.npos) {
        name = name.substr(0, zone) + "]";
    }
    return names_.contains(name);
}

bool isOwnOrigin(std::string_view origin, std::string_view host) {
    constexpr std::string_view scheme = "https://";
    return origin.size() == scheme.size() + host.size() &&
           asciiLowercase(origin) == std::string(scheme) + asciiLowercase(host);
}

WebAnswer answerPage(const HttpRequestHead& request, const WebContent& content, bool last) {
    const WebFile* file = isPlainPath(request.target) ? content.find(request.target) : nullptr;
    if (!file) {
        return refusal(404, "Not found.");
    }
    const bool head = request.method == "HEAD";
    if (!head && request.method != "GET") {
        return refusal(405, "Only GET and HEAD.", "Allow: GET, HEAD\r\n");
    }
    if (request.hasBody) {
        return refusal(400, "A request for a page has no body.");
    }
    WebAnswer answer;
    answer.close = last || request.asksClose;
    std::string& out = answer.bytes;
    out.reserve(1024 + (head ? 0 : file->bytes.size()));
    out += "HTTP/1.1 200 OK\r\n";
    out += "Content-Type: " + file->contentType + "\r\n";
    out += "Content-Length: " + std::to_string(file->bytes.size()) + "\r\n";
    out += "Cache-Control: ";
    out += cacheControl(file->caching);
    out += "\r\n";
    out += "X-Content-Type-Options: nosniff\r\n";
    out += "Referrer-Policy: no-referrer\r\n";
    out += "Cross-Origin-Opener-Policy: same-origin\r\n";
    out += "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; "
           "img-src 'self' data:; manifest-src 'self'; connect-src 'self' wss://" +
           request.host + "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'\r\n";
    out += "X-Frame-Options: DENY\r\n";
    if (answer.close) {
        out += "Connection: close\r\n";
    }
    out += "\r\n";
    if (!head) {
        out += file->bytes;
    }
    return answer;
}

} // namespace tarnwick
