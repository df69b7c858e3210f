#include "platform/PipeReader.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <system_error>
#include <utility>

namespace tarnwick {

namespace {

constexpr std::size_t readSize = 256 * 1024;

} // namespace

Expected<std::unique_ptr<PipeReader>, PlatformError> PipeReader::start(UniqueFd readEnd,
                                                                       Handler handler) {
    UniqueFd cancel(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!cancel.valid()) {
        const int code = errno;
        return Unexpected(PlatformError{"eventfd: " + std::system_category().message(code), code});
    }
    return std::make_unique<PipeReader>(Key(), std::move(readEnd), std::move(cancel),
                                        std::move(handler));
}

PipeReader::PipeReader(Key, UniqueFd readEnd, UniqueFd cancel, Handler handler)
    : readEnd_(std::move(readEnd)), cancel_(std::move(cancel)), handler_(std::move(handler)) {
    thread_ = std::thread([this] { run(); });
    pthread_setname_np(thread_.native_handle(), "pipe reader");
}

PipeReader::~PipeReader() {
    stop();
}

void PipeReader::stop() {
    if (!thread_.joinable()) {
        return;
    }
    std::uint64_t one = 1;
    // An eventfd write of 1 cannot fail short of an overflowing counter.
    [[maybe_unused]] ssize_t written = ::write(cancel_.get(), &one, sizeof one);
    thread_.join();
    readEnd_.reset();
}

void PipeReader::run() {
    auto buffer = std::make_unique<char[]>(readSize);
    pollfd watched[2] = {{cancel_.get(), POLLIN, 0}, {readEnd_.get(), POLLIN, 0}};
    for (;;) {
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (watched[0].revents != 0) {
            return;
        }
        if (watched[1].revents == 0) {
            continue;
        }
        ssize_t count = ::read(readEnd_.get(), buffer.get(), readSize);
        if (count > 0) {
            if (handler_) {
                handler_(std::string_view(buffer.get(), static_cast<std::size_t>(count)));
            }
        } else if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
            // End of stream: every writer has closed its end.
            return;
        }
    }
}

} // namespace tarnwick
