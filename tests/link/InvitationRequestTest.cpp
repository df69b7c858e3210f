#include "link/InvitationRequest.h"

#include "link/PercentEncoding.h"

#include <gtest/gtest.h>

#include <string>

using namespace tarnwick;

namespace {

const std::string key = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";

std::string request(const std::string& target, const std::string& extra = "") {
    return "GET " + target +
           " HTTP/1.1\r\nHost: 192.168.1.20:47600\r\nUpgrade: websocket\r\n"
           "Connection: Upgrade\r\n" +
           key + "Sec-WebSocket-Version: 13\r\n" + extra + "\r\n";
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
}

} // namespace

TEST(InvitationRequest, AcceptedInvitationsGiveTheDecodedName) {
    const struct {
        std::string header;
        Invitation expected;
    } cases[] = {
        {request("/session?peer=Ana%27s%20iPhone"), {"Ana's iPhone", false}},
        {request("/session?peer=%F0%9F%93%B1"), {"📱", false}},
        {request("/session?peer=a+b"), {"a+b", false}},
        {request("/session?peer=50%25%26more"), {"50%&more", false}},
        {request("/session?other=1&peer=X&more"), {"X", false}},
        {request("/session?peer=P", "Sec-WebSocket-Protocol: chat, tarnwick.v1\r\n"), {"P", true}},
        {request("/session?peer=P", "Sec-WebSocket-Protocol: chat\r\n"
                                    "Sec-WebSocket-Protocol: tarnwick.v1\r\n"),
         {"P", true}},
        {request("/session?peer=P", "Sec-WebSocket-Protocol: Tarnwick.V1\r\n"), {"P", false}},
        // Header names and the upgrade tokens are case-insensitive; lists may hold more.
        {replaced(replaced(request("/session?peer=P"), "Upgrade: websocket", "upgrade: WebSocket"),
                  "Connection: Upgrade", "CONNECTION: keep-alive, upgrade"),
         {"P", false}},
        {replaced(request("/session?peer=P"), "Host: 192.168.1.20:47600", "Host: [fe80::1]:1"),
         {"P", false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header);
        const auto parsed = InvitationRequest::parse(c.header);
        ASSERT_TRUE(parsed.hasValue()) << parsed.error().description;
        EXPECT_EQ(*parsed, c.expected);
    }
}

TEST(InvitationRequest, RefusedInvitationsSayWhy) {
    const std::string valid = request("/session?peer=P");
    std::string manyLines;
    for (int i = 0; i < 100; ++i) {
        manyLines += "X: y\r\n";
    }
    const struct {
        std::string header;
        std::string reason;
    } cases[] = {
        {request("/"), "Unknown path."},
        {request("/Session?peer=P"), "Unknown path."},
        {request("/session"), "Missing peer name."},
        {request("/session?peers=P"), "Missing peer name."},
        {request("/session?peer=A&peer=B"), "More than one peer name."},
        {request("/session?peer="), "Invalid peer name."},
        {request("/session?peer"), "Invalid peer name."},
        {request("/session?peer=%00"), "Invalid peer name."},
        {request("/session?peer=%4"), "Peer name is not percent-encoded."},
        {request("/session?peer=a#b"), "Malformed request target."},
        {request("session?peer=P"), "Malformed request target."},
        {request("http://host/session?peer=P"), "Malformed request target."},
        {replaced(valid, "GET ", "HEAD "), "Only GET opens a session."},
        {replaced(valid, "GET ", "get "), "Only GET opens a session."},
        {replaced(valid, "HTTP/1.1\r\n", "HTTP/2\r\n"), "Not an HTTP/1.1 request."},
        {replaced(valid, " HTTP/1.1", ""), "Not an HTTP request."},
        {replaced(valid, "GET /session?peer=P", "GET  /session?peer=P"),
         "Malformed request target."},
        {replaced(valid, "Upgrade: websocket", "Upgrade: h2c"), "Not a WebSocket upgrade."},
        {replaced(valid, "Connection: Upgrade", "Connection: close"), "Not a WebSocket upgrade."},
        {replaced(valid, "Sec-WebSocket-Version: 13", "Sec-WebSocket-Version: 13, 8"),
         "Unsupported WebSocket version."},
        {replaced(valid, key, ""), "Missing or malformed WebSocket key."},
        {replaced(valid, key, key + key), "Missing or malformed WebSocket key."},
        {replaced(valid, "dGhlIHNhbXBsZSBub25jZQ==", "dGhlIHNhbXBsZSBub25jZR=="),
         "Missing or malformed WebSocket key."},
        {replaced(valid, "Host: 192.168.1.20:47600\r\n", ""), "Missing or malformed Host header."},
        {replaced(valid, "Host: 192.168.1.20:47600", "Host: a b"),
         "Missing or malformed Host header."},
        {replaced(valid, "Upgrade: websocket", "Upgrade : websocket"), "Malformed header line."},
        {replaced(valid, "Upgrade: websocket", "Upgrade websocket"), "Malformed header line."},
        {replaced(valid, "Upgrade: websocket\r\n", "Upgrade:\r\n websocket\r\n"),
         "Malformed header line."},
        {replaced(valid, "Upgrade: websocket", "Upgrade: web\x01socket"), "Malformed header line."},
        {replaced(valid, "\r\n\r\n", "\r\n"), "Incomplete request header."},
        {request("/session?peer=P", "X: " + std::string(8200, 'a') + "\r\n"),
         "Request header too large."},
        {request("/session?peer=P", manyLines), "Too many header lines."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header.substr(0, 200));
        const auto parsed = InvitationRequest::parse(c.header);
        ASSERT_FALSE(parsed.hasValue());
        EXPECT_EQ(parsed.error().description, c.reason);
    }
}

TEST(PeerDisplayName, EveryControlCharacterIsRefused) {
    for (char32_t c = 0; c <= 0x9F; ++c) {
        const std::string name =
            c < 0x80 ? std::string{'a', char(c)}
                     : std::string{'a', char(0xC0 | (c >> 6)), char(0x80 | (c & 0x3F))};
        const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F);
        EXPECT_EQ(isValidPeerDisplayName(name), !control) << "U+" << std::hex << unsigned(c);
    }
}

TEST(PeerDisplayName, MustBeValidUtf8OfOneTo63Bytes) {
    const struct {
        std::string name;
        bool valid;
    } cases[] = {
        {"", false},
        {"x", true},
        {std::string(63, 'x'), true},
        {std::string(64, 'x'), false},
        {std::string(60, 'x') + "名", true},  // 63 bytes
        {std::string(61, 'x') + "名", false}, // 64 bytes
        {"\xC3", false},                      // cut short
        {"\xC0\x80", false},                  // overlong NUL
        {"\xE0\x80\xAF", false},              // overlong
        {"\xED\xA0\x80", false},              // surrogate
        {"\xF4\x90\x80\x80", false},          // above U+10FFFF
        {"\xF0\x9F\x93\xB1", true},           // U+1F4F1
        {"\xEF\xBF\xBF", true},               // U+FFFF is a noncharacter, not a control
        {"\x80", false},                      // continuation byte alone
        {"\xFE", false},
        {"a\u2028b", true}, // a line separator is not a control character
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isValidPeerDisplayName(c.name), c.valid) << testing::PrintToString(c.name);
    }
}

TEST(PercentEncoding, EncodesAllButUnreservedAndDecodesBack) {
    EXPECT_EQ(percentEncode("Ana's iPhone"), "Ana%27s%20iPhone");
    EXPECT_EQ(percentEncode("a-b.c_d~e"), "a-b.c_d~e");
    EXPECT_EQ(percentEncode("Zoë&=+%"), "Zo%C3%AB%26%3D%2B%25");
    std::string every;
    for (int c = 0; c < 256; ++c) {
        every += static_cast<char>(c);
    }
    EXPECT_EQ(percentDecode(percentEncode(every)), every);
    EXPECT_EQ(percentDecode("%41%6a+"), "Aj+");
    for (const char* cut : {"%", "%4", "%4x", "abc%"}) {
        EXPECT_FALSE(percentDecode(cut)) << cut;
    }
}

TEST(InvitationRefusal, IsACompleteHttpAnswerThatClosesTheConnection) {
    EXPECT_EQ(invitationRefusal(400, "Unknown path."),
              "HTTP/1.1 400 Bad Request\r\nConnection: close\r\n"
              "Content-Type: text/plain; charset=utf-8\r\n"
              "Content-Security-Policy: default-src 'none'; frame-ancestors 'none'\r\n"
              "X-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\n"
              "X-Frame-Options: DENY\r\nContent-Length: 14\r\n\r\n"
              "Unknown path.\n");
    EXPECT_EQ(invitationRefusal(503, "Too many sessions.").substr(0, 34),
              "HTTP/1.1 503 Service Unavailable\r\n");
}
