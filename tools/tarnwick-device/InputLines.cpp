#include "tarnwick-device/InputLines.h"

#include <QPointer>

#include <unistd.h>

#include <cerrno>

namespace tarnwick {

InputLines::InputLines(int descriptor, QObject* parent)
    : QObject(parent), descriptor_(descriptor), notifier_(descriptor, QSocketNotifier::Read, this) {
    connect(&notifier_, &QSocketNotifier::activated, this, &InputLines::readable);
}

void InputLines::readable() {
    char chunk[4096];
    ssize_t count = ::read(descriptor_, chunk, sizeof chunk);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) {
        return;
    }
    QPointer<InputLines> self(this);
    if (count <= 0) {
        notifier_.setEnabled(false);
        if (!buffer_.empty()) {
            std::string last = std::move(buffer_);
            buffer_.clear();
            emit lineRead(last);
        }
        if (self && !ended_) {
            ended_ = true;
            emit ended();
        }
        return;
    }
    buffer_.append(chunk, static_cast<std::size_t>(count));
    std::size_t newline;
    while (self && (newline = buffer_.find('\n')) != std::string::npos) {
        std::string line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        emit lineRead(line);
    }
}

} // namespace tarnwick
