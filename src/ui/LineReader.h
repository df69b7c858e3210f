#pragma once

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>

#include <memory>

namespace tarnwick {

// Reads text lines from a file descriptor (standard input) without blocking the event loop.
// A line longer than maxLineBytes is dropped whole.
class LineReader : public QObject {
    Q_OBJECT

public:
    static constexpr qsizetype maxLineBytes = 4096;

    // Does not take ownership of `fd`.
    explicit LineReader(int fd, QObject* parent = nullptr);

signals:
    void lineRead(const QString& line);
    // The input ended (or cannot be read); nothing more comes.
    void endOfInput();

private:
    void readAvailable();
    void finish();

    int fd_;
    std::unique_ptr<QSocketNotifier> notifier_;
    QByteArray pending_;
    bool discarding_ = false;
};

} // namespace tarnwick
