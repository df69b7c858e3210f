// How names that devices chose are shown: cut, spelled out, and marked where two could pass for
// one another.
#include "bridge/ShownNames.h"

#include <gtest/gtest.h>

using namespace tarnwick;

namespace {

std::string show(std::string_view name, std::vector<std::string_view> onShow = {}) {
    return ShownNames(onShow).show(name);
}

} // namespace

TEST(ShownNames, CutsLongNamesAtACharacterBoundaryWithAnEllipsis) {
    EXPECT_EQ(show(std::string(63, 'a')), std::string(63, 'a'));
    EXPECT_EQ(show(std::string(64, 'a')), std::string(63, 'a') + "\u2026");
    EXPECT_EQ(show(std::string(2 * 1024 * 1024, 'a')), std::string(63, 'a') + "\u2026");
    // 62 ASCII bytes and a two-byte letter across the limit: the letter goes whole.
    EXPECT_EQ(show(std::string(62, 'a') + "\u00e9\u00e9"), std::string(62, 'a') + "\u2026");
    // A four-byte emoji at every offset around the limit is kept whole or left out whole.
    for (std::size_t lead = 58; lead <= 62; ++lead) {
        const std::string shown = show(std::string(lead, 'a') + "\U0001F600\U0001F600");
        EXPECT_LE(shown.size(), 63u + 3u) << lead;
        EXPECT_EQ(shown.substr(shown.size() - 3), "\u2026") << lead;
        EXPECT_TRUE(shown.size() == lead + 3 || shown.size() == lead + 4 + 3) << lead;
    }
    EXPECT_EQ(show("Ana's iPhone"), "Ana's iPhone");
    EXPECT_EQ(show("J\u00f6rg's Pixel"), "J\u00f6rg's Pixel");
}

TEST(ShownNames, NamesThatHideCharactersAreAlwaysSpelledOut) {
    const std::pair<std::string, std::string> cases[] = {
        {"Pho\u200Bne", "Pho\\u{200B}ne"},
        {"Phone\u202Eenohp", "Phone\\u{202E}enohp"},
        {"\u2066Phone\u2069", "\\u{2066}Phone\\u{2069}"},
        {"Phone\uFEFF", "Phone\\u{FEFF}"},
        {"Pho\u00ADne", "Pho\\u{00AD}ne"},
        {"Phone\uFE0F", "Phone\\u{FE0F}"},
        {"Phone\u2063", "Phone\\u{2063}"},
        {"Phone\u3164", "Phone\\u{3164}"},
        {"Phone\U000E0041", "Phone\\u{E0041}"},
        {"Caf\u00e9\u200D", "Caf\\u{00E9}\\u{200D}"},
        // A backslash would let a plain name fake a spelled-out one.
        {"Phone\\u{200B}", "Phone\\u{005C}u{200B}"},
    };
    for (const auto& [name, shown] : cases) {
        EXPECT_EQ(show(name), shown) << shown;
        EXPECT_TRUE(ShownNames::hidesCharacters(QString::fromStdString(name))) << shown;
    }
    EXPECT_FALSE(ShownNames::hidesCharacters(QStringLiteral("Ana's iPhone \u00e9\u4e2d")));
    // Controls and line separators are left to the screens, which show them as symbols; next to
    // a name without them they are look-alikes like any other.
    EXPECT_EQ(show("Phone\x1b[2J\u2028"), "Phone\x1b[2J\u2028");
    EXPECT_EQ(show("Phone\n", {"Phone"}), "Phone\\u{000A} (look-alike name)");
}

TEST(ShownNames, LookAlikesOfNamesOnShowAreSpelledOutAndMarked) {
    const std::vector<std::string_view> onShow{"Phone", "Ana's iPad", "Studio Mac"};
    // Each differs from a name on show only by what people cannot see.
    const std::pair<std::string, std::string> lookAlikes[] = {
        {"Ph\u043Ene", "Ph\\u{043E}ne"},              // Cyrillic о
        {"\u0420hone", "\\u{0420}hone"},              // Cyrillic Р
        {"\u03A1h\u03BFne", "\\u{03A1}h\\u{03BF}ne"}, // Greek Ρ and ο
        {"phone", "phone"},                           // case
        {"PHONE", "PHONE"},                           //
        {"Ph0ne", "Ph0ne"},                           // zero for O
        {"Phon\u0435", "Phon\\u{0435}"},              // Cyrillic е
        {"\uFF30hone", "\\u{FF30}hone"},              // full-width P
        {"Pho\u200Bne", "Pho\\u{200B}ne"},            // zero-width space
        {"Ana's iPad\u034F", "Ana's iPad\\u{034F}"},  // grapheme joiner
        {"Ana's iPad ", "Ana's iPad\\u{0020}"},       // trailing space
        {"Ana's  iPad", "Ana's \\u{0020}iPad"},       // two spaces
        {"Studio\u00A0Mac", "Studio\\u{00A0}Mac"},    // no-break space
        {"Ph\u0334one", "Ph\\u{0334}one"},            // a mark NFKC keeps apart
    };
    const ShownNames names(onShow);
    for (const auto& [name, spelled] : lookAlikes) {
        EXPECT_EQ(names.show(name), spelled + std::string(ShownNames::lookAlikeMarker)) << spelled;
    }
    // A name on show is itself; another name is left alone.
    EXPECT_EQ(names.show("Phone"), "Phone");
    EXPECT_EQ(names.show("Phones"), "Phones");
    EXPECT_EQ(names.show("Ph\u043Enes"), "Ph\u043Enes");
    EXPECT_EQ(names.show("Studio Mac"), "Studio Mac");
    EXPECT_EQ(names.show("Ph\u00f3ne"), "Ph\u00f3ne");
    // Capital I passes for l (and 1), not for i.
    EXPECT_EQ(names.show("Ana's lPad"), "Ana's lPad");
    EXPECT_EQ(ShownNames({"Ana's lPad"}).show("Ana's IPad"), "Ana's IPad (look-alike name)");
    EXPECT_EQ(ShownNames({"Pixel 1"}).show("Pixel l"), "Pixel l (look-alike name)");
    // A composed and a decomposed accent are one name to the eye: both are marked, and each is
    // spelled out differently.
    const ShownNames accents({"Jos\u00e9", "Jose\u0301"});
    EXPECT_EQ(accents.show("Jos\u00e9"), "Jos\\u{00E9} (look-alike name)");
    EXPECT_EQ(accents.show("Jose\u0301"), "Jose\\u{0301} (look-alike name)");
    // Long names that agree up to the cut are marked, and a name's own "…" is not a cut.
    const std::string longName = std::string(70, 'a');
    const std::string emojiAtTheCut = std::string(60, 'a') + "\U0001F600";
    const std::string ownEllipsis = std::string(60, 'a') + "\u2026";
    const ShownNames cut({longName, emojiAtTheCut, ownEllipsis});
    EXPECT_EQ(cut.show(std::string(71, 'a')), std::string(63, 'a') + "\u2026 (look-alike name)");
    EXPECT_EQ(cut.show(emojiAtTheCut), std::string(60, 'a') + "\u2026 (look-alike name)");
    EXPECT_EQ(cut.show(ownEllipsis), std::string(60, 'a') + "\\u{2026} (look-alike name)");
    EXPECT_EQ(cut.show(std::string(60, 'a') + "..."),
              std::string(60, 'a') + "... (look-alike name)");
}
