#include "link/PeerName.h"

#include "link/InvitationRequest.h"

#include <QString>

#include <gtest/gtest.h>

using namespace tarnwick;

namespace {

std::string times(int count, const std::string& text) {
    return QString::fromStdString(text).repeated(count).toStdString();
}

} // namespace

// The display name, a hyphen and the suffix, cut to 63 bytes without splitting a character as
// people see it.
TEST(PeerName, IsTheDisplayNameAHyphenAndTheSuffixCutToFit63Bytes) {
    const std::string family =
        "👨‍👩‍👧‍👦"; // one character of 25 bytes: four people and three joiners
    const std::string accented = "e\xCC\x81"; // an e and a combining acute accent
    const struct {
        std::string displayName;
        std::string expected;
    } cases[] = {
        {"Studio", "Studio-3F2A"},
        {"", "-3F2A"},
        {std::string(70, 'a'), std::string(63, 'a')},
        {std::string(58, 'b'), std::string(58, 'b') + "-3F2A"},
        {std::string(59, 'b'), std::string(59, 'b') + "-3F2"},
        {times(40, "é"), times(31, "é")},         // 31 two-byte letters fit, 32 would not
        {times(30, "名"), times(21, "名")},       // three-byte letters: 21 fit exactly
        {times(15, "📱"), times(15, "📱") + "-3F"}, // 60 bytes: the hyphen fits, the suffix not
        {"ab" + times(3, family), "ab" + times(2, family)},
        {times(30, accented), times(21, accented)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.displayName);
        const std::string name = makePeerName(c.displayName, "3F2A");
        EXPECT_EQ(name, c.expected);
        EXPECT_TRUE(isValidPeerDisplayName(name));
    }
    // One character too long for a name (an "a" and 40 combining accents) is cut between its
    // code points.
    EXPECT_TRUE(isValidPeerDisplayName(makePeerName("a" + times(40, "\xCC\x81"), "3F2A")));
}
