#pragma once

#include "platform/Expected.h"
#include "platform/PlatformError.h"
#include "platform/UniqueFd.h"

#include <memory>
#include <string>
#include <string_view>

namespace tarnwick {

// Why bytes could not be written to a pipe.
struct WriteError {
    std::string description;
    // True when the write failed because it was cancelled, not because of the pipe.
    bool cancelled = false;
};

// The write end of a pipe. Writing waits until the pipe has taken every byte; a waiting write
// can be cancelled from another thread, so a reader that stops reading never holds the writer
// for good.
class PipeWriter {
public:
    // Fails when the system cannot give the writer its means of being cancelled.
    [[nodiscard]] static Expected<std::shared_ptr<PipeWriter>, PlatformError>
    open(UniqueFd writeEnd);

    struct Key {}; // only open() makes writers
    PipeWriter(Key, UniqueFd writeEnd, UniqueFd cancel);
    PipeWriter(const PipeWriter&) = delete;
    PipeWriter& operator=(const PipeWriter&) = delete;

    // Writes all bytes. Fails when the reader has gone (broken pipe), on any other error, and
    // once cancel has been called. One thread at a time.
    [[nodiscard]] Expected<void, WriteError> writeAll(std::string_view bytes);

    // Makes a waiting write and every later one fail at once. Safe from any thread.
    void cancel();

private:
    UniqueFd writeEnd_;
    UniqueFd cancel_;
};

} // namespace tarnwick
