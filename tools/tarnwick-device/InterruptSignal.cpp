#include "tarnwick-device/InterruptSignal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace tarnwick {

namespace {

// A signal handler can reach nothing but a plain global; it holds the write end of the pipe.
volatile sig_atomic_t interruptWriteEnd = -1;

extern "C" void noteInterrupt(int) {
    int saved = errno;
    const char byte = 1;
    if (interruptWriteEnd >= 0) {
        [[maybe_unused]] auto written = ::write(interruptWriteEnd, &byte, 1);
    }
    errno = saved;
}

} // namespace

InterruptSignal::InterruptSignal(QObject* parent) : QObject(parent) {
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        pipe_[0] = pipe_[1] = -1;
        return;
    }
    interruptWriteEnd = pipe_[1];
    notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &InterruptSignal::readable);
    struct sigaction action = {};
    action.sa_handler = noteInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
}

InterruptSignal::~InterruptSignal() {
    ::signal(SIGINT, SIG_DFL);
    interruptWriteEnd = -1;
    notifier_.reset();
    for (int end : pipe_) {
        if (end >= 0) {
            ::close(end);
        }
    }
}

void InterruptSignal::readable() {
    char bytes[64];
    while (::read(pipe_[0], bytes, sizeof bytes) > 0) {
    }
    emit interrupted();
}

} // namespace tarnwick
