#include "appserver/LineFramer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using tarnwick::LineFramer;

namespace {

using Lines = std::vector<std::string>;

// What a framer makes of a sequence of chunks: the lines, with "<overlong>" where one was
// dropped.
Lines frame(const Lines& chunks, std::size_t limit = 1024, LineFramer* keep = nullptr) {
    LineFramer local(limit);
    LineFramer& framer = keep ? *keep : local;
    Lines seen;
    for (const std::string& chunk : chunks) {
        framer.consume(
            chunk, [&](std::string_view line) { seen.emplace_back(line); },
            [&] { seen.emplace_back("<overlong>"); });
    }
    return seen;
}

struct FramingCase {
    const char* name;
    Lines chunks;
    Lines lines;
};

} // namespace

// Cut into three chunks at every pair of places (so also into empty chunks and chunks of line
// feeds alone): empty lines are skipped, a carriage return stays in its line, and the
// unfinished line at the end gives nothing.
TEST(LineFramer, EveryWayOfCuttingAStreamGivesTheSameLines) {
    const std::string stream = "{\"id\":1}\n\n\n{\"method\":\"x\"}\r\nhello\n{}\nunfinished";
    const Lines expected = {"{\"id\":1}", "{\"method\":\"x\"}\r", "hello", "{}"};
    for (std::size_t first = 0; first <= stream.size(); ++first) {
        for (std::size_t second = first; second <= stream.size(); ++second) {
            Lines chunks = {stream.substr(0, first), stream.substr(first, second - first),
                            stream.substr(second)};
            ASSERT_EQ(frame(chunks), expected) << "cut at " << first << " and " << second;
        }
    }
}

TEST(LineFramer, DropsALineLongerThanTheLimitUpToItsLineFeed) {
    const std::string atLimit(16, 'a');
    const std::string overLimit(17, 'b');
    const FramingCase cases[] = {
        {"at the limit in one chunk", {atLimit + "\n"}, {atLimit}},
        {"at the limit over two chunks",
         {atLimit.substr(0, 5), atLimit.substr(5) + "\n"},
         {atLimit}},
        {"over the limit in one chunk", {overLimit + "\nok\n"}, {"<overlong>", "ok"}},
        {"over the limit while buffered",
         {overLimit.substr(0, 10), overLimit.substr(10) + "\nok\n"},
         {"<overlong>", "ok"}},
        {"over the limit before its line feed comes",
         {overLimit, "more bytes of the same line", "still more\nok\n"},
         {"<overlong>", "ok"}},
        {"two overlong lines, each reported once",
         {overLimit + "\n" + overLimit + "\n"},
         {"<overlong>", "<overlong>"}},
    };
    for (const FramingCase& c : cases) {
        EXPECT_EQ(frame(c.chunks, 16), c.lines) << c.name;
    }
}

TEST(LineFramer, KeepsNoMoreThanTheLimitWhileSkipping) {
    LineFramer framer(1000);
    std::string chunk(600, 'x');
    int overlong = 0;
    for (int i = 0; i < 100; ++i) {
        framer.consume(
            chunk, [](std::string_view) {}, [&] { ++overlong; });
        ASSERT_LE(framer.bufferedBytes(), 1000u);
    }
    EXPECT_EQ(overlong, 1);
}

TEST(LineFramer, ResetForgetsTheUnfinishedLine) {
    LineFramer framer(1024);
    frame({"{\"method\":\"cut"}, 1024, &framer);
    framer.reset();
    EXPECT_EQ(frame({"{\"id\":1}\n"}, 1024, &framer), Lines{"{\"id\":1}"});

    // Also in the middle of skipping an overlong line.
    LineFramer small(4);
    EXPECT_EQ(frame({"123456"}, 4, &small), Lines{"<overlong>"});
    small.reset();
    EXPECT_EQ(frame({"ab\n"}, 4, &small), Lines{"ab"});
}
