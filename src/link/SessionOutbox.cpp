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
    if (waiting_.empty() && !isWriting_) {
        writing_ = std::move(block);
        isWriting_ = true;
        written_ = 0;
        handOff();
        behind_ = behind_ || waitingBytes() > easedAtBytes;
        return true;
    }
    waitingBytes_ += size;
    waiting_.push_back(std::move(block));
    while (!largest_.empty() && largest_.back() < size) {
        largest_.pop_back();
    }
    largest_.push_back(size);
    behind_ = behind_ || waitingBytes() > easedAtBytes;
    return true;
}

void SessionOutbox::clear() {
    waiting_.clear();
    writing_.clear();
    isWriting_ = false;
    written_ = 0;
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
    while (!stuck_ && socket_ && webSocket_ &&
           socketBacklog() < static_cast<qint64>(handOffBytes)) {
        if (!isWriting_) {
            if (waiting_.empty()) {
                break;
            }
            writing_ = std::move(waiting_.front());
            isWriting_ = true;
            written_ = 0;
            waiting_.pop_front();
            const auto size = static_cast<std::size_t>(writing_.size());
            waitingBytes_ -= size;
            if (!largest_.empty() && largest_.front() == size) {
                largest_.pop_front();
            }
        }
        if (!writeFrame()) {
            return;
        }
    }
}

bool SessionOutbox::writeFrame() {
    if (webSocket_->state() != QAbstractSocket::ConnectedState) {
        return false;
    }
    const qsizetype rest = writing_.size() - written_;
    const qsizetype length = std::min<qsizetype>(rest, static_cast<qsizetype>(frameBytes));
    const bool first = written_ == 0;
    const bool last = length == rest;
    // Server frames are not masked: FIN, the opcode (binary, then continuation), the length.
    char header[10];
    int headerSize = 2;
    header[0] = static_cast<char>((last ? 0x80 : 0x00) | (first ? 0x2 : 0x0));
    if (length < 126) {
        header[1] = static_cast<char>(length);
    } else if (length <= 0xFFFF) {
        header[1] = 126;
        header[2] = static_cast<char>((length >> 8) & 0xFF);
        header[3] = static_cast<char>(length & 0xFF);
        headerSize = 4;
    } else {
        header[1] = 127;
        for (int i = 0; i < 8; ++i) {
            header[2 + i] =
                static_cast<char>((static_cast<quint64>(length) >> (56 - 8 * i)) & 0xFF);
        }
        headerSize = 10;
    }
    socket_->write(header, headerSize);
    if (first && last) {
        // The whole block in one frame: the socket keeps a share of it instead of a copy.
        socket_->write(writing_);
    } else {
        socket_->write(writing_.constData() + written_, length);
    }
    written_ += length;
    if (last) {
        writing_.clear();
        isWriting_ = false;
        written_ = 0;
    }
    return true;
}

// The timer is not moved on every write (that would cost a timer change per write); it fires
// at the earliest possible stall and looks how long ago the last write was.
void SessionOutbox::checkProgress() {
    if (waiting_.empty() && !isWriting_ && socketBacklog() == 0) {
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
