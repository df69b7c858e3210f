#include "app/UnixSignalWatcher.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace tarnwick {

namespace {

// A signal handler has no context to reach; the write end of the watcher's socket pair is the
// one thing it needs, so it lives here.
volatile std::sig_atomic_t writeFd = -1;

void handleSignal(int signalNumber) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    if (writeFd >= 0) {
        [[maybe_unused]] auto written = ::write(writeFd, &byte, 1);
    }
    errno = saved;
}

} // namespace

UnixSignalWatcher::UnixSignalWatcher(std::initializer_list<int> signalNumbers, QObject* parent)
    : QObject(parent), signals_(signalNumbers) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds_) != 0) {
        return;
    }
    writeFd = fds_[1];
    notifier_ = std::make_unique<QSocketNotifier>(fds_[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &UnixSignalWatcher::drain);
    struct sigaction action = {};
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : signals_) {
        ::sigaction(number, &action, nullptr);
    }
}

UnixSignalWatcher::~UnixSignalWatcher() {
    for (int number : signals_) {
        ::signal(number, SIG_DFL);
    }
    writeFd = -1;
    notifier_.reset();
    for (int fd : fds_) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void UnixSignalWatcher::drain() {
    unsigned char byte = 0;
    while (::read(fds_[0], &byte, 1) == 1) {
        emit signalled(byte);
    }
}

} // namespace tarnwick
