#pragma once

#include "platform/Expected.h"
#include "platform/PlatformError.h"
#include "platform/UniqueFd.h"

#include <functional>
#include <memory>
#include <string_view>
#include <thread>

namespace tarnwick {

// Reads the read end of a pipe on a thread of its own and hands every chunk of bytes to a
// handler, on that thread, until the end of the stream or until it is stopped.
class PipeReader {
public:
    using Handler = std::function<void(std::string_view bytes)>;

    // Starts reading on a new thread. Fails, with nothing started, when the system cannot give
    // the reader its means of being stopped.
    [[nodiscard]] static Expected<std::unique_ptr<PipeReader>, PlatformError>
    start(UniqueFd readEnd, Handler handler);

    struct Key {}; // only start() makes readers
    PipeReader(Key, UniqueFd readEnd, UniqueFd cancel, Handler handler);
    // Stops the reader (see stop).
    ~PipeReader();
    PipeReader(const PipeReader&) = delete;
    PipeReader& operator=(const PipeReader&) = delete;

    // Ends the reading and joins the thread: once this returns, the handler is not running and
    // is never called again, and the read end is closed. A handler that is running is waited
    // for, so it must not wait for the thread that calls stop. Not to be called from the
    // handler itself. Calling it again does nothing.
    void stop();

private:
    void run();

    UniqueFd readEnd_;
    UniqueFd cancel_;
    Handler handler_;
    std::thread thread_;
};

} // namespace tarnwick
