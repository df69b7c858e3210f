#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

namespace tarnwick {

// Keeps one bridge per user: the first launch holds a lock in the user's runtime directory and
// listens on a local socket beside it; a later launch finds the lock taken and tells the
// running bridge through the socket, which answers how it runs.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    // How a running bridge presents itself; sent back to a later launch.
    enum class FrontEnd { window, terminal };

    // `directory` is the user's runtime directory.
    explicit SingleInstance(QString directory, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this process is now the one bridge: it holds the lock and listens. False when
    // another bridge holds the lock, or the directory cannot be used (see error()).
    bool claim(FrontEnd frontEnd);
    QString error() const { return error_; }

    // From a later launch: asks the running bridge to come forward and waits up to `timeoutMs`
    // for its answer. Absent when it could not be reached.
    std::optional<FrontEnd> notifyRunning(int timeoutMs = 10000);

    QString socketPath() const;
    QString lockPath() const;

    // The user's runtime directory, made when missing.
    static QString defaultDirectory();

signals:
    // A later launch asked this bridge to come forward.
    void activationRequested();

private:
    void serve();

    QString directory_;
    FrontEnd frontEnd_ = FrontEnd::window;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer server_;
    QString error_;
};

} // namespace tarnwick
