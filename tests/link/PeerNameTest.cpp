#include "link/PeerName.h"

#include "link/InvitationRequest.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

using tarnwick::isValidPeerDisplayName;
using tarnwick::makePeerName;
using tarnwick::randomPeerSuffix;

namespace {

// Counts code points of valid UTF-8.
std::size_t codePoints(const std::string& text) {
    std::size_t count = 0;
    for (unsigned char c : text) {
        count += (c & 0xC0) != 0x80 ? 1 : 0;
    }
    return count;
}

} // namespace

TEST(PeerName, IsTheDisplayNameAHyphenAndTheSuffix) {
    EXPECT_EQ(makePeerName("Studio", "3F2A"), "Studio-3F2A");
    EXPECT_EQ(makePeerName("", "3F2A"), "-3F2A");
    EXPECT_EQ(makePeerName("Zoë's Mac", "0000"), "Zoë's Mac-0000");
}

TEST(PeerName, IsCutTo63Characters) {
    const std::string seventy(70, 'a');
    EXPECT_EQ(makePeerName(seventy, "3F2A"), std::string(63, 'a'));
    EXPECT_EQ(makePeerName(std::string(58, 'b'), "3F2A"), std::string(58, 'b') + "-3F2A");
    EXPECT_EQ(makePeerName(std::string(59, 'b'), "3F2A"), std::string(59, 'b') + "-3F2");
}

TEST(PeerName, IsCutFurtherAtACharacterBoundaryToFit63Bytes) {
    const struct {
        const char* what;
        std::string displayName;
        std::string expected;
    } cases[] = {
        // 40 two-byte letters: 31 fit (62 bytes), the 32nd would not.
        {"two-byte letters",
         [] {
             std::string s;
             for (int i = 0; i < 40; ++i)
                 s += "é";
             return s;
         }(),
         [] {
             std::string s;
             for (int i = 0; i < 31; ++i)
                 s += "é";
             return s;
         }()},
        // Three-byte letters: 21 fit exactly.
        {"three-byte letters",
         [] {
             std::string s;
             for (int i = 0; i < 30; ++i)
                 s += "名";
             return s;
         }(),
         [] {
             std::string s;
             for (int i = 0; i < 21; ++i)
                 s += "名";
             return s;
         }()},
        // 15 four-byte emoji are 60 bytes; the hyphen fits, the suffix does not.
        {"emoji",
         [] {
             std::string s;
             for (int i = 0; i < 15; ++i)
                 s += "📱";
             return s;
         }(),
         [] {
             std::string s;
             for (int i = 0; i < 15; ++i)
                 s += "📱";
             return s + "-3F";
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = makePeerName(c.displayName, "3F2A");
        EXPECT_EQ(name, c.expected);
        EXPECT_LE(name.size(), 63u);
        EXPECT_TRUE(isValidPeerDisplayName(name));
    }
}

TEST(PeerName, NeverSplitsAUserPerceivedCharacter) {
    // A family emoji is one character of 25 bytes (four people joined by zero-width joiners).
    const std::string family = "👨‍👩‍👧‍👦";
    ASSERT_EQ(family.size(), 25u);
    const std::string name = makePeerName("ab" + family + family + family, "3F2A");
    EXPECT_EQ(name, "ab" + family + family);
    // An e with a combining acute accent stays whole.
    std::string accented;
    for (int i = 0; i < 30; ++i) {
        accented += "e\xCC\x81"; // 3 bytes each
    }
    const std::string cut = makePeerName(accented, "3F2A");
    EXPECT_EQ(cut.size(), 63u);
    EXPECT_EQ(codePoints(cut), 42u);
    EXPECT_EQ(cut.substr(cut.size() - 3), "e\xCC\x81");
}

TEST(PeerName, OneHugeCharacterIsCutBetweenCodePoints) {
    std::string zalgo = "a";
    for (int i = 0; i < 40; ++i) {
        zalgo += "\xCC\x81"; // combining acute accent, all one character with the "a"
    }
    const std::string name = makePeerName(zalgo, "3F2A");
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), 63u);
    EXPECT_TRUE(isValidPeerDisplayName(name));
}

TEST(PeerName, SuffixIsFourUppercaseHexDigitsDrawnFreshEachTime) {
    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) {
        const std::string suffix = randomPeerSuffix();
        EXPECT_TRUE(std::regex_match(suffix, std::regex("[0-9A-F]{4}"))) << suffix;
        seen.insert(suffix);
    }
    EXPECT_GT(seen.size(), 1u);
}
