#include "identity/Base64.h"

#include <gtest/gtest.h>

using tarnwick::base64Decode;
using tarnwick::base64Encode;

TEST(Base64, EncodesTheStandardTestVectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (auto [bytes, text] : vectors) {
        EXPECT_EQ(base64Encode(bytes), text);
        EXPECT_EQ(base64Decode(text), bytes) << text;
    }
}

TEST(Base64, EveryByteValueRoundTripsThroughBothAlphabetEnds) {
    std::string bytes;
    for (int i = 0; i < 256; ++i) {
        bytes += static_cast<char>(i);
    }
    for (std::size_t length = 0; length <= bytes.size(); length += 1) {
        std::string prefix = bytes.substr(bytes.size() - length);
        std::string text = base64Encode(prefix);
        EXPECT_EQ(text.size() % 4, 0u);
        EXPECT_EQ(base64Decode(text), prefix) << text;
    }
    EXPECT_EQ(base64Encode("\xfb\xff"), "+/8=");
}

TEST(Base64, DecodingRefusesAnythingButThePaddedStandardForm) {
    const char* refused[] = {
        "Zg",
        "Zg=",
        "Zm8",
        "Zm9vYg", // padding missing
        "Zm9v\n",
        "Zm9v\r\n",
        " Zm9v",
        "Zm 9v",          // white space and line breaks
        "Zm9vYmFy\nZm9v", // a line break inside
        "Zm9-",
        "Zm9_",
        "Zm9v*A==",
        "Zm9\x80", // other alphabets and characters
        "=Zm9",
        "Z=m9",
        "Zm=9",
        "Zg==Zg==", // padding out of place
        "Z===",
        "====",
        "Zg===",
        "Zm9vY", // too much padding, bad lengths
    };
    for (const char* text : refused) {
        EXPECT_FALSE(base64Decode(text)) << text;
    }
    EXPECT_FALSE(base64Decode(std::string_view("Zm9v\0AAA", 8)));
}
