#include "json/JSONValue.h"

#include "json/JSONDecoder.h"
#include "json/JSONText.h"
#include "support/CompactJSON.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>
#include <random>
#include <string>

using tarnwick::JSONArray;
using tarnwick::JSONObject;
using tarnwick::JSONValue;
using tarnwick::testing::hasSpaceBetweenTokens;

namespace {

JSONValue decoded(std::string_view text) {
    auto result = JSONValue::decode(text);
    EXPECT_TRUE(result.hasValue())
        << "text: " << text << " error: " << (result ? "" : result.error().description);
    return result ? *result : JSONValue();
}

std::string encoded(const JSONValue& value) {
    auto result = value.encode();
    EXPECT_TRUE(result.hasValue()) << (result ? "" : result.error().description);
    return result ? *result : std::string();
}

// Built by moving, never copying: a copy of a value this deep would recurse.
JSONValue nestedArrays(int depth) {
    JSONValue value = JSONArray{};
    for (int i = 1; i < depth; ++i) {
        JSONArray outer;
        outer.push_back(std::move(value));
        value = std::move(outer);
    }
    return value;
}

} // namespace

TEST(JSONValueDecoding, EachTextBecomesItsOwnCaseAndNeverConverts) {
    const std::pair<const char*, JSONValue> cases[] = {
        {"true", true},
        {"false", false},
        {"null", nullptr},
        {"1", 1},
        {"-2.5e3", -2500.0},
        {"\"a\"", "a"},
        {" \t\r\n 7 \n", 7},
        {"[]", JSONArray{}},
        {"{ }", JSONObject{}},
        {R"({"a":null})", JSONObject{{"a", nullptr}}},
        {R"([1,"two",{"three":[true,null]},false])",
         JSONArray{1, "two", JSONObject{{"three", JSONArray{true, nullptr}}}, false}},
        // A repeated key keeps the last value.
        {R"({"k":1,"j":0,"k":2})", JSONObject{{"k", 2}, {"j", 0}}},
    };
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(decoded(text), value) << text;
    }
    EXPECT_FALSE(decoded("true").numberValue());
    EXPECT_FALSE(decoded("1").boolValue());
    EXPECT_FALSE(decoded("0").boolValue());
    EXPECT_EQ(decoded("[1]").objectValue(), nullptr);
    EXPECT_EQ(decoded("\"x\"").member("k"), nullptr);
    EXPECT_NE(decoded("1"), decoded("true"));
    EXPECT_NE(decoded("1"), decoded("\"1\""));
    // A null member is present, unlike an absent one.
    ASSERT_NE(decoded(R"({"a":null})").member("a"), nullptr);
    EXPECT_EQ(decoded(R"({"a":null})").member("b"), nullptr);
}

TEST(JSONValueDecoding, InvalidTextsFail) {
    // The last ones lie beyond the largest double: refusing keeps every decoded value encodable.
    const std::string texts[] = {
        "",      " ",       "tru",        "nul",       "[1,]",       "{\"a\":1,}",
        "[1 2]", "{'a':1}", "{\"a\" 1}",  "{1:2}",     "01",         "1.",
        ".5",    "+1",      "0x10",       "NaN",       "Infinity",   "-",
        "1e",    "\"abc",   "\"\\x\"",    "\"\\u12\"", "[",          "]",
        "{",     "1 2",     "true false", "[1]x",      "\"a\"\"b\"", "// c\n1",
        "1e400", "-1e400",  "10e308",     "1.8e308",   "[1,2e999]",  "1" + std::string(400, '0'),
    };
    for (const std::string& text : texts) {
        auto result = JSONValue::decode(text);
        EXPECT_FALSE(result.hasValue()) << "accepted: " << text;
        if (!result) {
            EXPECT_FALSE(result.error().description.empty());
        }
    }
}

TEST(JSONValueDecoding, EveryRawControlCharacterInsideATextFails) {
    for (int c = 0; c < 0x20; ++c) {
        std::string text = "\"a";
        text.push_back(static_cast<char>(c));
        text += "b\"";
        EXPECT_FALSE(JSONValue::decode(text).hasValue()) << "control character " << c;
    }
    // Wherever the text lies in memory, and in a long text too.
    for (std::size_t pad = 0; pad < 20; ++pad) {
        std::string text = std::string(pad, ' ') + "\"" + std::string(11, '\x7f') + "\x1d" +
                           std::string(20, 'x') + "\"";
        EXPECT_FALSE(JSONValue::decode(text).hasValue()) << "after " << pad << " spaces";
        text = std::string(pad, ' ') + "[\"" + std::string(40, 'x') + "\t\"]";
        EXPECT_FALSE(JSONValue::decode(text).hasValue()) << "a tab after " << pad << " spaces";
    }
    EXPECT_TRUE(JSONValue::decode("[\t\"a\\tb\",\r\n1]").hasValue());
    EXPECT_FALSE(JSONValue::decode(std::string("1\0", 2)).hasValue());
    EXPECT_FALSE(JSONValue::decode(std::string("[1]\0[2]", 7)).hasValue());
}

TEST(JSONValueDecoding, EveryEscapeDecodes) {
    JSONValue value = decoded(R"("\"\\\/\b\f\n\r\t\u0041\u00e9\u20ac\ud83d\ude00\u0000")");
    const char expected[] = "\"\\/\b\f\n\r\tA\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    EXPECT_EQ(*value.stringValue(), std::string(expected, sizeof expected)); // with the NUL
}

TEST(JSONValueDecoding, InvalidUnicodeInsideATextFails) {
    const char* texts[] = {
        "\"\x80\"",             // lone continuation byte
        "\"\xC0\x80\"",         // overlong NUL
        "\"\xC3\"",             // truncated sequence
        "\"\xE2\x82\"",         // truncated sequence
        "\"\xED\xA0\x80\"",     // UTF-16 surrogate written as UTF-8
        "\"\xF5\x80\x80\x80\"", // beyond U+10FFFF
        "\"\xFF\"",
        R"("\ud800")",       // unpaired high surrogate
        R"("\udc00")",       // unpaired low surrogate
        R"("\udc00\ud800")", // pair in the wrong order
        R"("\ud800x")",
        R"({"\udfff":1})", // the same rule for keys
    };
    for (const char* text : texts) {
        EXPECT_FALSE(JSONValue::decode(text).hasValue()) << "accepted: " << text;
    }
    EXPECT_EQ(*decoded("\"\xF4\x8F\xBF\xBF\"").stringValue(), "\xF4\x8F\xBF\xBF");
}

TEST(JSONValueDecoding, EveryNumberADoubleCanHoldDecodes) {
    EXPECT_EQ(decoded("123456789012345678901234567890").numberValue(), 1.2345678901234568e29);
    EXPECT_EQ(decoded("-18446744073709551616").numberValue(), -18446744073709551616.0);
    EXPECT_EQ(decoded("9007199254740993").numberValue(), 9007199254740992.0);
    EXPECT_EQ(decoded("1" + std::string(308, '0')).numberValue(), 1e308);
    EXPECT_EQ(decoded("1.7976931348623157e308").numberValue(), 1.7976931348623157e308);
    EXPECT_EQ(decoded("-1.7976931348623157e308").numberValue(), -1.7976931348623157e308);
    EXPECT_EQ(decoded("1e-400").numberValue(), 0.0);
    EXPECT_EQ(decoded("0.000001e-400").numberValue(), 0.0);
    EXPECT_EQ(decoded("4.9e-324").numberValue(), 4.9e-324);
    EXPECT_EQ(decoded("2.2250738585072011e-308").numberValue(), 2.2250738585072011e-308);
    EXPECT_EQ(decoded("0.1").numberValue(), 0.1);
    EXPECT_TRUE(std::signbit(*decoded("-0").numberValue()));
    EXPECT_TRUE(std::signbit(*decoded("-1e-400").numberValue()));
}

TEST(JSONValueDecoding, NestingIsLimitedTo512Levels) {
    auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_TRUE(JSONValue::decode(nested(512)).hasValue());
    EXPECT_FALSE(JSONValue::decode(nested(513)).hasValue());
    std::string deepObjects;
    for (int i = 0; i < 513; ++i) {
        deepObjects += "{\"a\":";
    }
    deepObjects += "1" + std::string(513, '}');
    EXPECT_FALSE(JSONValue::decode(deepObjects).hasValue());
    // Far too deep, and unterminated: refused without exhausting the stack.
    EXPECT_FALSE(JSONValue::decode(std::string(1'000'000, '[')).hasValue());
    EXPECT_FALSE(JSONValue::decode(nested(200'000)).hasValue());
}

TEST(JSONValueEncoding, NumbersUseIntegerDigitsOrTheShortestText) {
    const std::pair<double, const char*> cases[] = {
        {1.0, "1"},
        {-7.0, "-7"},
        {0.0, "0"},
        {-0.0, "0"},
        {1.5, "1.5"},
        {0.1, "0.1"},
        {-2.5, "-2.5"},
        {9007199254740991.0, "9007199254740991"},
        {-9007199254740991.0, "-9007199254740991"},
        {1e300, "1e+300"},
        {5e-324, "5e-324"},
        {123456.789, "123456.789"},
    };
    for (auto [number, text] : cases) {
        EXPECT_EQ(encoded(JSONValue(number)), text) << number;
    }
}

// Beyond 2^53 too, where the shortest text is used instead of integer digits.
TEST(JSONValueEncoding, ShortestTextsReadBackAsTheSameDouble) {
    std::mt19937_64 random(42);
    for (int i = 0; i < 20000; ++i) {
        std::uint64_t bits = random();
        double number;
        std::memcpy(&number, &bits, sizeof number);
        if (!std::isfinite(number)) {
            continue;
        }
        std::string text = encoded(JSONValue(number));
        ASSERT_EQ(decoded(text).numberValue(), number) << text;
    }
}

TEST(JSONValueEncoding, NonFiniteNumbersAnywhereFailTheWholeEncoding) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(JSONValue(nan).encode().hasValue());
    EXPECT_FALSE(JSONValue(-inf).encode().hasValue());
    EXPECT_FALSE(JSONValue(JSONArray{1, 2, JSONArray{inf}}).encode().hasValue());
    EXPECT_FALSE(
        JSONValue(JSONObject{{"a", 1}, {"b", JSONObject{{"c", nan}}}}).encode().hasValue());
    std::string out = "kept";
    EXPECT_FALSE(JSONValue(JSONArray{1, nan}).encodeTo(out).hasValue());
    EXPECT_EQ(out, "kept");
}

TEST(JSONValueEncoding, TextsUseStandardEscapesAndAnEscapedSlash) {
    EXPECT_EQ(encoded("a/b"), R"("a\/b")");
    // Plain slashes, in keys and values, inside and beyond a 16-byte block; nothing else changes.
    const JSONValue slashes(JSONObject{{"path/key", "turn/completed in /a/long/folder/name\\/\""}});
    EXPECT_EQ(*slashes.encode(JSONValue::Slash::plain),
              R"({"path/key":"turn/completed in /a/long/folder/name\\/\""})");
    EXPECT_EQ(*slashes.encode(),
              R"({"path\/key":"turn\/completed in \/a\/long\/folder\/name\\\/\""})");
    EXPECT_EQ(encoded("q\"b\\"), R"("q\"b\\")");
    EXPECT_EQ(encoded("\b\f\n\r\t"), R"("\b\f\n\r\t")");
    EXPECT_EQ(encoded("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"),
              "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\"");
    EXPECT_EQ(encoded(JSONValue(std::string("a\0b", 3))), R"("a\u0000b")");
    EXPECT_EQ(encoded(JSONObject{{"lines", "one\ntwo\r\n"}, {"list", JSONArray{1, true, nullptr}}}),
              R"({"lines":"one\ntwo\r\n","list":[1,true,null]})");
}

TEST(JSONValueEncoding, EveryControlCharacterIsEscapedAndReadsBack) {
    for (int c = 0; c < 0x20; ++c) {
        std::string text(1, static_cast<char>(c));
        std::string json = encoded(JSONValue(text));
        for (char byte : json) {
            EXPECT_GE(static_cast<unsigned char>(byte), 0x20) << "control character " << c;
        }
        EXPECT_EQ(*decoded(json).stringValue(), text);
    }
}

TEST(JSONValueEncoding, InvalidUTF8IsWrittenAsReplacementCharacters) {
    std::string json = encoded(JSONValue(std::string("a\xFF\xC3", 3)));
    EXPECT_EQ(json, "\"a\xEF\xBF\xBD\xEF\xBF\xBD\"");
    EXPECT_TRUE(JSONValue::decode(json).hasValue());
}

TEST(JSONValueEquality, FollowsCasesAndContents) {
    EXPECT_EQ(decoded(R"({"a":1,"b":[true,null]})"), decoded(R"({"b":[true,null],"a":1})"));
    EXPECT_NE(decoded("[1,2]"), decoded("[2,1]"));
    EXPECT_NE(decoded("[1]"), decoded("[1,1]"));
    EXPECT_NE(decoded(R"({"a":1})"), decoded(R"({"a":1,"b":1})"));
    EXPECT_NE(decoded(R"({"a":1})"), decoded(R"({"b":1})"));
    EXPECT_NE(decoded(R"({"a":null})"), decoded("{}"));
    EXPECT_EQ(JSONValue(nullptr), JSONValue());
    EXPECT_EQ(JSONValue(0.0), JSONValue(-0.0));
    EXPECT_NE(JSONValue(std::numeric_limits<double>::quiet_NaN()),
              JSONValue(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_NE(JSONValue(JSONArray{}), JSONValue(JSONObject{}));
    EXPECT_NE(JSONValue(""), JSONValue(nullptr));
}

TEST(JSONValueDisplayText, IsOneLineForPeople) {
    EXPECT_EQ(JSONValue("abc").displayText(), "abc");
    EXPECT_EQ(JSONValue(42).displayText(), "42");
    EXPECT_EQ(JSONValue(-0.0).displayText(), "0");
    EXPECT_EQ(JSONValue(-2.5).displayText(), "-2.5");
    EXPECT_EQ(JSONValue(9223372036854775807.0 / 2).displayText(), "4611686018427387904");
    EXPECT_EQ(JSONValue(-9223372036854775808.0).displayText(), "-9223372036854775808");
    EXPECT_FALSE(JSONValue(1e300).displayText().empty());
    EXPECT_FALSE(JSONValue(std::numeric_limits<double>::infinity()).displayText().empty());
    EXPECT_EQ(JSONValue(true).displayText(), "true");
    EXPECT_EQ(JSONValue(nullptr).displayText(), "null");
    EXPECT_EQ(JSONValue(JSONArray{1, 2}).displayText(), "[1,2]");
    EXPECT_EQ(JSONValue(JSONObject{{"code", 1}}).displayText(), R"({"code":1})");
    EXPECT_EQ(JSONValue(JSONArray{std::numeric_limits<double>::quiet_NaN()}).displayText(), "");
}

TEST(JSONValueDepth, HugeProgrammaticDepthIsComparedAndDestroyedWithoutOverflow) {
    JSONValue a = nestedArrays(1'000'000);
    JSONValue b = nestedArrays(1'000'000);
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a.encode().hasValue());
    EXPECT_TRUE(nestedArrays(512).encode().hasValue());
    EXPECT_FALSE(nestedArrays(513).encode().hasValue());
    JSONValue objects = JSONObject{};
    for (int i = 0; i < 1'000'000; ++i) {
        JSONObject outer;
        outer.set("k", std::move(objects));
        objects = std::move(outer);
    }
    // Going out of scope here must not recurse a million frames deep.
}

// Members kept as text: the decoder checks them as it checks everything else, leaves them out of
// the tree and hands over a compact text that decodes to exactly the value the tree would hold.
namespace {

constexpr std::string_view rawNames[] = {"params", "result"};

struct PartlyDecoded {
    JSONValue tree;
    std::optional<tarnwick::JSONText> raw[2];
};

tarnwick::Expected<PartlyDecoded, tarnwick::Error> decodeKeepingText(std::string_view text) {
    tarnwick::JSONDecoder decoder;
    PartlyDecoded out;
    auto tree = decoder.decode(text, rawNames, out.raw);
    if (!tree) {
        return tarnwick::Unexpected(tree.error());
    }
    out.tree = std::move(*tree);
    return out;
}

} // namespace

TEST(JSONTextMembers, DecodeToTheSameValueAsTheTreeAndStayCompact) {
    const char* lines[] = {
        R"({"method":"m","params":{"a":"\u00e9\ud83d\ude00\/\"\\\n\t\u0001","b":[1.0,-0,1e2,0.1]}})",
        R"({"method":"m","params":{}})",
        R"({"method":"m","params":[]})",
        R"({"method":"m","params":""})",
        R"({"method":"m","params":null})",
        R"({"method":"m","params":12345678901234567890})",
        R"({"method":"m","params":-1.5e-300})",
        R"({"method":"m","params":true,"x":{"params":"nested, so it stays in the tree"}})",
        "{ \"id\" : 7 ,\r\n \"result\" :\t{ \"k\" : [ 1 , { } , [ ] , \"a b\\\" c\" ] } }",
        R"({"id":1,"result":{"first":1},"result":["last wins"]})",
        R"({"params":{"deep":[[[[[[[[[[{"x":"\u0000"}]]]]]]]]]]},"result":false,"id":"x"})",
        R"({"method":"only a tree"})",
        R"(["params",{"params":1}])",
        R"("params")",
    };
    for (const char* line : lines) {
        SCOPED_TRACE(line);
        const JSONValue whole = decoded(line);
        auto partly = decodeKeepingText(line);
        ASSERT_TRUE(partly.hasValue()) << partly.error().description;
        JSONValue rebuilt = partly->tree;
        for (std::size_t i = 0; i < std::size(rawNames); ++i) {
            const JSONValue* member = whole.member(rawNames[i]);
            ASSERT_EQ(partly->raw[i].has_value(), member != nullptr);
            if (!member) {
                continue;
            }
            const std::string_view text = partly->raw[i]->text();
            EXPECT_FALSE(hasSpaceBetweenTokens(text)) << text;
            EXPECT_EQ(decoded(text), *member) << text;
            EXPECT_EQ(partly->raw[i]->value(), *member);
            ASSERT_TRUE(rebuilt.objectValue());
            EXPECT_FALSE(partly->tree.member(rawNames[i])) << "kept as text, not in the tree";
            rebuilt.objectValue()->set(std::string(rawNames[i]), partly->raw[i]->value());
        }
        EXPECT_EQ(rebuilt, whole);
    }
    auto spaced = decodeKeepingText("{\"result\" : { \"a\" : [ 1 , 2 ] , \"b c\" : \" d \" } }");
    ASSERT_TRUE(spaced.hasValue());
    EXPECT_EQ(spaced->raw[1]->text(), R"({"a":[1,2],"b c":" d "})");
}

TEST(JSONTextMembers, AreCheckedAsStrictlyAsTheTree) {
    // With the object around it, 511 arrays make 512 levels: the most there may be.
    const std::string deep = std::string(511, '[') + std::string(511, ']');
    const std::string tooDeep = R"({"params":[)" + deep + "]}";
    const std::string bad[] = {
        R"({"params":"\udc00"})",
        R"({"params":{"\udc00":1}})",
        R"({"result":1e400})",
        R"({"result":[1,]})",
        R"({"params":"a)",
        R"({"params":})",
        R"({"params":[1] "x":2})",
        "{\"params\":\"\xC3\x28\"}",
        tooDeep,
        R"({"params":1}garbage)",
        std::string("{\"params\":\"\0\"}", 14),
    };
    for (const std::string& line : bad) {
        SCOPED_TRACE(line.substr(0, 40));
        auto whole = JSONValue::decode(line);
        auto partly = decodeKeepingText(line);
        ASSERT_FALSE(whole.hasValue());
        ASSERT_FALSE(partly.hasValue());
        EXPECT_EQ(partly.error().description, whole.error().description);
    }
    EXPECT_TRUE(JSONValue::decode(R"({"params":)" + deep + "}"));
    EXPECT_TRUE(decodeKeepingText(R"({"params":)" + deep + "}"));
    EXPECT_FALSE(tarnwick::JSONText::fromText("[1,").hasValue());
    auto compact = tarnwick::JSONText::fromText(" { \"a\" : [ ] } ");
    ASSERT_TRUE(compact.hasValue());
    EXPECT_EQ(compact->text(), R"({"a":[]})");
}
