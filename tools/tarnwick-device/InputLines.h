#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <functional>
#include <string>

namespace tarnwick {

// Reads a file descriptor (standard input) line by line as the event loop runs, without
// blocking it. Reports each line without its line feed, then the end once.
class InputLines : public QObject {
    Q_OBJECT
public:
    explicit InputLines(int descriptor = 0, QObject* parent = nullptr);

    bool ended() const { return ended_; }

    std::function<void(const std::string& line)> onLine;
    std::function<void()> onEnd;

private:
    void readable();

    int descriptor_;
    QSocketNotifier notifier_;
    std::string buffer_;
    bool ended_ = false;
};

} // namespace tarnwick
