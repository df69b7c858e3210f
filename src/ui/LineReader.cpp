#include "ui/LineReader.h"

#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tarnwick {

LineReader::LineReader(int fd, QObject* parent) : QObject(parent), fd_(fd) {
    if (fd_ < 0 || ::fcntl(fd_, F_GETFD) == -1) {
        // Nothing to read from: the input has ended before it began. Said after the caller
        // has had a chance to connect.
        QTimer::singleShot(0, this, &LineReader::finish);
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &LineReader::readAvailable);
}

void LineReader::readAvailable() {
    char buffer[4096];
    const ssize_t count = ::read(fd_, buffer, sizeof buffer);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) {
        return;
    }
    if (count <= 0) {
        if (!pending_.isEmpty() && !discarding_) {
            emit lineRead(QString::fromUtf8(pending_));
        }
        pending_.clear();
        finish();
        return;
    }
    pending_.append(buffer, count);
    qsizetype newline = 0;
    while ((newline = pending_.indexOf('\n')) >= 0) {
        QByteArray line = pending_.left(newline);
        pending_.remove(0, newline + 1);
        if (discarding_) {
            discarding_ = false;
            continue;
        }
        if (line.endsWith('\r')) {
            line.chop(1);
        }
        emit lineRead(QString::fromUtf8(line));
    }
    if (pending_.size() > maxLineBytes) {
        pending_.clear();
        discarding_ = true;
    }
}

void LineReader::finish() {
    if (notifier_) {
        notifier_->setEnabled(false);
    }
    emit endOfInput();
}

} // namespace tarnwick
