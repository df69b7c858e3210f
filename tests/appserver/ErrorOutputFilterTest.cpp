#include "appserver/ErrorOutputFilter.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using tarnwick::ErrorOutputFilter;

namespace {

std::optional<std::string> once(std::string_view bytes) {
    return ErrorOutputFilter().take(bytes);
}

} // namespace

TEST(ErrorOutputFilter, TrimsAndRemovesTerminalControlSequencesAndDropsWhatIsLeftOfNothing) {
    struct Case {
        const char* input;
        const char* text;
    };
    const Case cases[] = {
        {"  warning\n", "warning"},
        {"\tfirst\nsecond\n\n", "first\nsecond"},
        {"a\tb", "a\tb"},
        // The Codex CLI's own log format: dim time stamp, coloured level, dim target.
        {"\x1b[2m2026-12-06T11:00:32Z\x1b[0m \x1b[31mERROR\x1b[0m "
         "\x1b[2mcodex\x1b[0m\x1b[2m:\x1b[0m "
         "failed",
         "2026-12-06T11:00:32Z ERROR codex: failed"},
        {"\x1b[1;38;5;196mred\x1b[m", "red"},
        {"\x1b]0;window title\x07text", "text"},
        {"\x1b]8;;https://example.invalid\x1b\\link\x1b]8;;\x1b\\", "link"},
        {"\x1b(Bcharset", "charset"},
        {"\x1b"
         "7saved\x1b"
         "8",
         "saved"},
        {"bell\x07 and backspace\x08 and delete\x7f", "bell and backspace and delete"},
        {"\xc2\x9b"
         "31mC1 sequence",
         "C1 sequence"},
        {"progress 10%\rprogress 20%", "progress 10%\nprogress 20%"},
        {"crlf\r\nline", "crlf\nline"},
        {"unfinished \x1b[", "unfinished"},
        {"caf\xc3\xa9 \xe2\x9c\x93", "caf\xc3\xa9 \xe2\x9c\x93"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(once(c.input), std::optional<std::string>(c.text)) << c.input;
    }
    // White space, nothing, or not UTF-8.
    for (const char* input : {"", "  \n\t\r\n", "\x1b[0m\n", "bad \xff byte\n",
                              "overlong \xc0\xaf slash", "surrogate \xed\xa0\x80"}) {
        EXPECT_EQ(once(input), std::nullopt) << input;
    }
}

TEST(ErrorOutputFilter, ACharacterCutByTheEndOfAReadIsCompletedByTheNext) {
    ErrorOutputFilter filter;
    // "é" is C3 A9; "✓" is E2 9C 93; "😀" is F0 9F 98 80.
    EXPECT_EQ(filter.take("caf\xc3"), "caf");
    EXPECT_EQ(filter.take("\xa9 ok \xe2\x9c"), "\xc3\xa9 ok");
    EXPECT_EQ(filter.take("\x93 \xf0\x9f\x98"), "\xe2\x9c\x93");
    EXPECT_EQ(filter.take("\x80"), "\xf0\x9f\x98\x80");
    // A tail that can never become a character is not carried over.
    EXPECT_EQ(filter.take("x\xff"), std::nullopt);
    EXPECT_EQ(filter.take("y"), "y");
}
