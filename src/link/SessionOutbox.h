#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <cstddef>
#include <deque>

class QSslSocket;
class QWebSocket;

namespace tarnwick {

// The bytes one session owes its peer, bounded. A peer that stops reading would otherwise make
// the host keep everything sent to it: the socket's buffers grow without limit.
//
// The WebSocket is the socket's only writer: each block goes to it whole, as one binary
// message, while the TLS socket below has less than `handOffBytes` waiting (plaintext not yet
// encrypted plus ciphertext not yet taken by the system); the rest waits here, in order, and
// goes as the socket reports what it wrote. Besides the largest of them, at most `limit` bytes
// may wait here: a single reply may be larger than the limit and must still get through, with
// what was sent before and after it. So a session holds at most `limit`, one largest block
// (linkwire::maxBlockSize), and in the socket the hand-off window and the last block handed
// over (its plaintext, then its ciphertext, on their way through TLS).
//
// The outbox reports `stuck` once: when a block would take what waits here over the limit, or
// when bytes are waiting (here or in the socket) and none were written for `stallTimeout`.
// Control frames (pings, pongs, close) are the WebSocket's too; it puts them between messages.
class SessionOutbox : public QObject {
    Q_OBJECT
public:
    static constexpr std::size_t handOffBytes = 256 * 1024;
    // `eased` is reported once what waits here has come down to this, after it had been more:
    // early enough that the socket still has plenty to write while more is made.
    static constexpr std::size_t easedAtBytes = 1024 * 1024;

    SessionOutbox(std::size_t limit, std::chrono::milliseconds stallTimeout,
                  QObject* parent = nullptr);

    // Starts writing to `webSocket`, which runs over `socket`.
    void attach(QWebSocket* webSocket, QSslSocket* socket);
    // Queues one block as one binary message; false (and `stuck`) when it does not fit.
    bool push(QByteArray block);
    // Drops what waits and stops watching; nothing is written any more.
    void clear();

    // Bytes waiting here, not yet given to the socket.
    std::size_t waitingBytes() const { return waitingBytes_; }
    // Bytes given to the socket and not yet written to the system.
    qint64 socketBacklog() const;

signals:
    void stuck();
    // What waits here came down to easedAtBytes or less, after it had been more.
    void eased();

private:
    // Hands blocks to the WebSocket while the socket has room.
    void handOff();
    void progressed();
    void checkProgress();
    void reportStuck();

    std::size_t limit_;
    std::chrono::milliseconds stallTimeout_;
    QPointer<QWebSocket> webSocket_;
    QPointer<QSslSocket> socket_;
    std::deque<QByteArray> waiting_;
    std::size_t waitingBytes_ = 0;
    // Sizes of the waiting blocks that are larger than every block after them, oldest first:
    // the front is the largest block waiting.
    std::deque<std::size_t> largest_;
    QElapsedTimer lastProgress_;
    QTimer stallCheck_;
    bool stuck_ = false;
    bool behind_ = false; // more than easedAtBytes waited since `eased` was last reported
};

} // namespace tarnwick
