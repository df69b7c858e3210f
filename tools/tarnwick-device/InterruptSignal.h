#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

namespace tarnwick {

// Turns Ctrl-C (SIGINT) into a signal on the main thread while it exists; the default handling
// comes back when it goes. Only one may exist at a time.
class InterruptSignal : public QObject {
    Q_OBJECT
public:
    explicit InterruptSignal(QObject* parent = nullptr);
    ~InterruptSignal() override;

signals:
    void interrupted();

private:
    void readable();

    int pipe_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace tarnwick
