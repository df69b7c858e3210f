#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <string>

namespace tarnwick {

// Reads a file descriptor (standard input) line by line as the event loop runs, without
// blocking it. Reports each line without its line feed, then the end once, as Qt signals.
class InputLines : public QObject {
    Q_OBJECT
public:
    explicit InputLines(int descriptor = 0, QObject* parent = nullptr);

    bool atEnd() const { return ended_; }

signals:
    void lineRead(const std::string& line);
    void ended();

private:
    void readable();

    int descriptor_;
    QSocketNotifier notifier_;
    std::string buffer_;
    bool ended_ = false;
};

} // namespace tarnwick
