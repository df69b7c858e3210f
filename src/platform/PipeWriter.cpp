#include "platform/PipeWriter.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>

namespace tarnwick {

namespace {

WriteError systemError(int code) {
    return WriteError{std::system_category().message(code), false};
}

WriteError cancelledError() {
    return WriteError{std::system_category().message(ECANCELED), true};
}

} // namespace

Expected<std::shared_ptr<PipeWriter>, PlatformError> PipeWriter::open(UniqueFd writeEnd) {
    UniqueFd cancel(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!cancel.valid()) {
        const int code = errno;
        return Unexpected(PlatformError{"eventfd: " + std::system_category().message(code), code});
    }
    return std::make_shared<PipeWriter>(Key(), std::move(writeEnd), std::move(cancel));
}

PipeWriter::PipeWriter(Key, UniqueFd writeEnd, UniqueFd cancel)
    : writeEnd_(std::move(writeEnd)), cancel_(std::move(cancel)) {
    int flags = fcntl(writeEnd_.get(), F_GETFL);
    if (flags >= 0) {
        fcntl(writeEnd_.get(), F_SETFL, flags | O_NONBLOCK);
    }
}

Expected<void, WriteError> PipeWriter::writeAll(std::string_view bytes) {
    pollfd watched[2] = {{cancel_.get(), POLLIN, 0}, {writeEnd_.get(), POLLOUT, 0}};
    while (!bytes.empty()) {
        if (::poll(watched, 1, 0) > 0) {
            return Unexpected(cancelledError());
        }
        ssize_t count = ::write(writeEnd_.get(), bytes.data(), bytes.size());
        if (count >= 0) {
            bytes.remove_prefix(static_cast<std::size_t>(count));
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN) {
            return Unexpected(systemError(errno));
        }
        // The pipe is full: wait until the reader makes room or the write is cancelled.
        while (::poll(watched, 2, -1) < 0) {
            if (errno != EINTR) {
                return Unexpected(systemError(errno));
            }
        }
        if (watched[0].revents != 0) {
            return Unexpected(cancelledError());
        }
    }
    return {};
}

void PipeWriter::cancel() {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(cancel_.get(), &one, sizeof one);
}

} // namespace tarnwick
