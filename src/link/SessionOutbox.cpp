#include "link/SessionOutbox.h"

#include <QSslSocket>
#include <QWebSocket>

#include <algorithm>

namespace tarnwick {

SessionOutbox::SessionOutbox(std::size_t limit, std::chrono::milliseconds stallTimeout,
                             QObject* parent)
    : QObject(parent), limit_(limit), stallTimeout_(stallTimeout) {
    stallCheck_.setSingleShot(true);
    connect(&stallCheck_, &QTimer::timeout, this, &SessionOutbox::checkProgress);
}

void SessionOutbox::attach(QWebSocket* webSocket, QSslSocket* socket) {
    webSocket_ = webSocket;
    socket_ = socket;
    // Ciphertext taken by the system is the only progress that counts: plaintext moves into
    // the TLS layer whether or not the peer reads.
    connect(socket, &QSslSocket::encryptedBytesWritten, this, &SessionOutbox::progressed);
    // Plaintext taken into TLS makes room in the window too.
    connect(webSocket, &QWebSocket::bytesWritten, this, &SessionOutbox::handOff);
}

qint64 SessionOutbox::socketBacklog() const {
    return socket_ ? socket_->bytesToWrite() + socket_->encryptedBytesToWrite() : 0;
}

bool SessionOutbox::push(QByteArray block) {
    if (stuck_ || !webSocket_) {
        return false;
    }
    const auto size = static_cast<std::size_t>(block.size());
    const std::size_t largest = std::max(largest_.empty() ? 0 : largest_.front(), size);
    if (!waiting_.empty() && waitingBytes_ + size - largest > limit_) {
        reportStuck();
        return false;
    }
    if (!stallCheck_.isActive()) {
        lastProgress_.start();
        stallCheck_.start(stallTimeout_);
    }
    waitingBytes_ += size;
    waiting_.push_back(std::move(block));
    while (!largest_.empty() && largest_.back() < size) {
        largest_.pop_back();
    }
    largest_.push_back(size);
    handOff();
    behind_ = behind_ || waitingBytes() > easedAtBytes;
    return true;
}

void SessionOutbox::clear() {
    waiting_.clear();
    waitingBytes_ = 0;
    largest_.clear();
    stallCheck_.stop();
    stuck_ = true;
}

void SessionOutbox::progressed() {
    lastProgress_.start();
    handOff();
    if (behind_ && !stuck_ && waitingBytes() <= easedAtBytes) {
        behind_ = false;
        emit eased();
    }
}

void SessionOutbox::handOff() {
    while (!stuck_ && !waiting_.empty() && socket_ && webSocket_ &&
           webSocket_->state() == QAbstractSocket::ConnectedState &&
           socketBacklog() < static_cast<qint64>(handOffBytes)) {
        const QByteArray block = std::move(waiting_.front());
        waiting_.pop_front();
        const auto size = static_cast<std::size_t>(block.size());
        waitingBytes_ -= size;
        if (!largest_.empty() && largest_.front() == size) {
            largest_.pop_front();
        }
        webSocket_->sendBinaryMessage(block);
    }
}

// The timer is not moved on every write (that would cost a timer change per write); it fires
// at the earliest possible stall and looks how long ago the last write was.
void SessionOutbox::checkProgress() {
    if (waiting_.empty() && socketBacklog() == 0) {
        return; // everything went out; the next push starts watching again
    }
    const auto quiet = std::chrono::milliseconds(lastProgress_.elapsed());
    if (quiet >= stallTimeout_) {
        reportStuck();
        return;
    }
    stallCheck_.start(stallTimeout_ - quiet);
}

void SessionOutbox::reportStuck() {
    if (stuck_) {
        return;
    }
    clear();
    emit stuck();
}

} // namespace tarnwick
