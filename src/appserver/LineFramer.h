#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace tarnwick {

// Splits a byte stream into lines ended by a line feed. Bytes after the last line feed wait for
// the next chunk. A line that grows beyond the limit is dropped up to its line feed, so memory
// stays bounded whatever the other end writes.
class LineFramer {
public:
    explicit LineFramer(std::size_t maxLineBytes) : maxLineBytes_(maxLineBytes) {}

    // Takes one chunk. Calls `line(std::string_view)` for every complete line that is not empty,
    // without its line feed, and `overlong()` once for every line dropped for its length (as
    // soon as it passes the limit). The views are valid only during the call.
    template <typename LineHandler, typename OverlongHandler>
    void consume(std::string_view chunk, LineHandler&& line, OverlongHandler&& overlong);

    // Forgets the unfinished line.
    void reset();

    std::size_t bufferedBytes() const { return buffer_.size(); }
    std::size_t maxLineBytes() const { return maxLineBytes_; }

private:
    void releaseLargeBuffer();

    std::size_t maxLineBytes_;
    std::string buffer_;
    // True while the rest of an overlong line is being skipped.
    bool discarding_ = false;
};

template <typename LineHandler, typename OverlongHandler>
void LineFramer::consume(std::string_view chunk, LineHandler&& line, OverlongHandler&& overlong) {
    while (!chunk.empty()) {
        const void* found = std::memchr(chunk.data(), '\n', chunk.size());
        if (!found) {
            if (discarding_) {
                return;
            }
            if (buffer_.size() + chunk.size() > maxLineBytes_) {
                buffer_.clear();
                releaseLargeBuffer();
                discarding_ = true;
                overlong();
                return;
            }
            buffer_.append(chunk);
            return;
        }
        std::size_t end = static_cast<std::size_t>(static_cast<const char*>(found) - chunk.data());
        std::string_view piece = chunk.substr(0, end);
        chunk.remove_prefix(end + 1);
        if (discarding_) {
            discarding_ = false;
            continue;
        }
        if (buffer_.empty()) {
            // The common case: the whole line is in this chunk and needs no copy.
            if (piece.size() > maxLineBytes_) {
                overlong();
            } else if (!piece.empty()) {
                line(piece);
            }
            continue;
        }
        if (buffer_.size() + piece.size() > maxLineBytes_) {
            buffer_.clear();
            releaseLargeBuffer();
            overlong();
            continue;
        }
        buffer_.append(piece);
        line(std::string_view(buffer_));
        buffer_.clear();
        releaseLargeBuffer();
    }
}

} // namespace tarnwick
