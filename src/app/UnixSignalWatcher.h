#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <initializer_list>
#include <memory>

namespace tarnwick {

// Turns SIGINT, SIGTERM and the like into a Qt signal on the main thread, so that the bridge
// stops through its normal shutdown (the Codex child terminated and reaped) instead of dying
// where it stands. One watcher per process.
class UnixSignalWatcher : public QObject {
    Q_OBJECT

public:
    explicit UnixSignalWatcher(std::initializer_list<int> signalNumbers, QObject* parent = nullptr);
    ~UnixSignalWatcher() override;

    UnixSignalWatcher(const UnixSignalWatcher&) = delete;
    UnixSignalWatcher& operator=(const UnixSignalWatcher&) = delete;

signals:
    void signalled(int signalNumber);

private:
    void drain();

    int fds_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
    std::vector<int> signals_;
};

} // namespace tarnwick
