#include "protocol/BridgeMessage.h"

#include "json/JSONDecoder.h"

#include <gtest/gtest.h>

using tarnwick::BridgeMessage;
using tarnwick::BridgeMessageKind;
using tarnwick::JSONArray;
using tarnwick::JSONObject;
using tarnwick::JSONValue;

namespace {

BridgeMessage decoded(std::string_view bytes) {
    auto result = BridgeMessage::decode(bytes);
    EXPECT_TRUE(result.hasValue()) << bytes << ": " << (result ? "" : result.error().description);
    return result ? *result : BridgeMessage{};
}

} // namespace

TEST(BridgeMessageKind, EveryKindTravelsAsItsOwnName) {
    const std::pair<BridgeMessageKind, const char*> kinds[] = {
        {BridgeMessageKind::hello, "hello"},
        {BridgeMessageKind::pairingRequest, "pairingRequest"},
        {BridgeMessageKind::pairingAccepted, "pairingAccepted"},
        {BridgeMessageKind::pairingRejected, "pairingRejected"},
        {BridgeMessageKind::request, "request"},
        {BridgeMessageKind::response, "response"},
        {BridgeMessageKind::event, "event"},
        {BridgeMessageKind::serverRequest, "serverRequest"},
        {BridgeMessageKind::serverResponse, "serverResponse"},
        {BridgeMessageKind::error, "error"},
        {BridgeMessageKind::ping, "ping"},
    };
    for (auto [kind, text] : kinds) {
        EXPECT_EQ(tarnwick::wireString(kind), text);
        EXPECT_EQ(tarnwick::bridgeMessageKindFromWire(text), kind);
        BridgeMessage message{1, kind, {}, {}, {}};
        EXPECT_EQ(decoded(*message.encode()), message) << text;
    }
    for (const char* text : {"Ping", "pong", "PING", "", "hello ", "pairingrequest"}) {
        EXPECT_FALSE(tarnwick::bridgeMessageKindFromWire(text)) << text;
    }
}

TEST(BridgeMessageDecoding, OptionalMembersAreAbsentWhenMissingOrNullAndAnyVersionDecodes) {
    BridgeMessage ping = decoded(R"({"version":1.0,"kind":"ping"})");
    EXPECT_EQ(ping.version, 1);
    EXPECT_EQ(ping.kind, BridgeMessageKind::ping);
    EXPECT_FALSE(ping.id);
    EXPECT_FALSE(ping.method);
    EXPECT_FALSE(ping.body);

    BridgeMessage request =
        decoded(R"({"version":1,"kind":"request","id":null,"method":"thread/list","body":null})");
    EXPECT_FALSE(request.id);
    EXPECT_EQ(request.method, "thread/list");
    EXPECT_FALSE(request.body);
    EXPECT_EQ(decoded(R"({"version":2,"kind":"hello"})").version, 2);
    EXPECT_EQ(decoded(R"({"version":-3,"kind":"hello"})").version, -3);
}

TEST(BridgeMessageDecoding, UnknownMembersAreIgnoredAndAnyBodyIsAccepted) {
    BridgeMessage message =
        decoded(R"({"extra":5,"body":[1,"x"],"kind":"response","id":"7","version":1})");
    EXPECT_EQ(message.id, "7");
    EXPECT_EQ(message.body, (JSONValue(JSONArray{1, "x"})));
    for (const char* body : {"0", "false", "\"s\"", "{}", "[]"}) {
        std::string text = std::string(R"({"version":1,"kind":"event","body":)") + body + "}";
        EXPECT_TRUE(decoded(text).body) << body;
    }
}

TEST(BridgeMessageDecoding, MalformedEnvelopesFailWithADescription) {
    const char* texts[] = {
        R"({"version":"1","kind":"ping"})",
        R"({"kind":"ping"})",
        R"({"version":1})",
        R"({"version":1,"kind":"pong"})",
        R"({"version":1,"kind":5})",
        R"({"version":1,"kind":null})",
        R"({"version":null,"kind":"ping"})",
        R"({"version":1.5,"kind":"ping"})",
        R"({"version":true,"kind":"ping"})",
        R"({"version":9223372036854775808,"kind":"ping"})",
        R"({"version":1e300,"kind":"ping"})",
        R"({"version":1,"kind":"request","id":7})",
        R"({"version":1,"kind":"request","id":true})",
        R"({"version":1,"kind":"request","method":["thread/list"]})",
        R"([{"version":1,"kind":"ping"}])",
        R"("ping")",
        "",
        "not json",
        "{\"version\":1,\"kind\":\"ping\"",
    };
    for (const char* text : texts) {
        auto result = BridgeMessage::decode(text);
        EXPECT_FALSE(result.hasValue()) << "accepted: " << text;
        if (!result) {
            EXPECT_FALSE(result.error().description.empty()) << text;
        }
    }
}

TEST(BridgeMessageEncoding, WritesOnlyThePresentMembersCompactly) {
    BridgeMessage bare{1, BridgeMessageKind::pairingRejected, {}, {}, {}};
    EXPECT_EQ(*bare.encode(), R"({"version":1,"kind":"pairingRejected"})");
    BridgeMessage message{1, BridgeMessageKind::event, "7", "item/agentMessage/delta",
                          JSONValue(JSONObject{{"delta", "line one\nline two"}})};
    EXPECT_EQ(*message.encode(),
              R"({"version":1,"kind":"event","id":"7","method":"item\/agentMessage\/delta",)"
              R"("body":{"delta":"line one\nline two"}})");
}

TEST(BridgeMessageEncoding, RoundTripsExceptThatANullBodyComesBackAbsentAndFailsOnANonFiniteBody) {
    BridgeMessage full{1, BridgeMessageKind::request, "a/b", "thread/start",
                       JSONValue(JSONObject{{"cwd", "/tmp"}, {"n", 1.25}})};
    EXPECT_EQ(decoded(*full.encode()), full);

    BridgeMessage nullBody{1, BridgeMessageKind::serverResponse, "id", {}, JSONValue()};
    std::string text = *nullBody.encode();
    EXPECT_NE(text.find("\"body\":null"), std::string::npos);
    BridgeMessage back = decoded(text);
    EXPECT_FALSE(back.body);
    EXPECT_NE(back, nullBody);

    nullBody.body = JSONValue(JSONArray{std::numeric_limits<double>::infinity()});
    EXPECT_FALSE(nullBody.encode().hasValue());
}

// A body spliced in as the text the app-server wrote gives the device the same JSON value as a
// body built as a tree and encoded, and the block is still one compact envelope.
TEST(BridgeMessageEncoding, ASplicedBodyDecodesToTheSameValueAsTheTreeBuiltOne) {
    const char* bodies[] = {
        R"({})",
        R"([])",
        R"(null)",
        R"("")",
        R"("line\nfeed, \"quote\", back\\slash, \/slash, tab\t, \u0001, \u00e9, é, \ud83d\ude00")",
        R"({"n":[0,-0,1.0,1e2,-1.5E-7,12345678901234567890,9007199254740993,0.1]})",
        R"({"deep":{"a":[{"b":[[{}],[]]},true,false,null]},"":"empty key"})",
        "{ \"spaced\" : [ 1 , 2 ] ,\r\n\t\"text\" : \" kept \" }",
    };
    constexpr std::string_view names[] = {"params"};
    for (const char* body : bodies) {
        SCOPED_TRACE(body);
        const std::string line = std::string(R"({"method":"item/delta","params":)") + body + "}";
        tarnwick::JSONDecoder decoder;
        std::optional<tarnwick::JSONText> text[1];
        ASSERT_TRUE(decoder.decode(line, names, text).hasValue());
        ASSERT_TRUE(text[0]);
        const JSONValue tree = *JSONValue::decode(body);

        for (BridgeMessage head :
             {tarnwick::makeMessage(BridgeMessageKind::event, {}, "item/delta"),
              tarnwick::makeMessage(BridgeMessageKind::response, "7")}) {
            std::string spliced;
            head.encodeWithBody(*text[0], [&](std::string_view piece) { spliced.append(piece); });
            head.body = tree;
            const std::string built = *head.encode();
            EXPECT_EQ(*JSONValue::decode(spliced), *JSONValue::decode(built)) << spliced;
            EXPECT_EQ(decoded(spliced), decoded(built));
            EXPECT_EQ(spliced.find('\n'), std::string::npos);
            EXPECT_EQ(spliced.find(" : "), std::string::npos);
            EXPECT_EQ(spliced.rfind("{\"version\":1,\"kind\":", 0), 0u) << spliced;
        }
    }
}
