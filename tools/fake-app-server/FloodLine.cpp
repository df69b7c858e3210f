#include "FloodLine.h"

#include <string_view>

namespace tarnwick {

std::string floodLine(std::uint64_t index, std::size_t size) {
    static constexpr std::string_view words =
        "the quick brown fox jumps over the lazy dog while the build runs and the tests pass ";
    const std::string id = std::to_string(index);
    std::string line;
    line.reserve(size + 64);
    line.append(R"({"method":"item/agentMessage/delta","params":{"threadId":"thr_0193a7c2e4b1",)");
    line.append(R"("turnId":"turn_)").append(id);
    line.append(R"(","itemId":"msg_)").append(id);
    line.append(R"(","sequence":)").append(id);
    line.append(R"(,"final":false,"delta":")");
    constexpr std::string_view tail = "\"}}\n";
    std::size_t fill = size > line.size() + tail.size() ? size - line.size() - tail.size() : 0;
    // Text from the word list, starting at a place that moves with the index.
    std::size_t offset = index % words.size();
    while (fill > 0) {
        std::string_view piece = words.substr(offset, fill);
        line.append(piece);
        fill -= piece.size();
        offset = 0;
    }
    line.append(tail);
    return line;
}

} // namespace tarnwick
