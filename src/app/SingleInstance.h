#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <QStringList>

class QLocalSocket;

#include <functional>
#include <memory>
#include <optional>

namespace tarnwick {

// Keeps one bridge per user: the first launch holds a lock in the user's runtime directory and
// listens on a local socket beside it; a later launch finds the lock taken and tells the
// running bridge through the socket, which answers how it runs. The same socket carries the
// control commands of `tarnwick-bridge status`, `pair N` and the rest. Only processes of the
// same user are served, checked by the peer's credentials and not only by the socket's mode;
// the client holds the bridge to the same rule.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    // How a running bridge presents itself; sent back to a later launch.
    enum class FrontEnd { window, terminal, service };

    // Answers one control command (its words, already split) on the main thread.
    struct ControlAnswer {
        bool ok = false;
        QString text;
    };
    using ControlHandler = std::function<ControlAnswer(const QStringList& words)>;

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

    // From a control command: sends `words` to the running bridge and gives its answer.
    // Absent when no bridge is running or it could not be reached within `timeoutMs`; the
    // reason is then in error().
    std::optional<ControlAnswer> sendControl(const QStringList& words, int timeoutMs = 10000);

    // Who answers the control commands of the running bridge.
    void setControlHandler(ControlHandler handler) { controlHandler_ = std::move(handler); }

    QString socketPath() const;
    QString lockPath() const;

    // The user's runtime directory, made when missing.
    static QString defaultDirectory();

signals:
    // A later launch asked this bridge to come forward.
    void activationRequested();

private:
    void serve();
    void answer(QLocalSocket* socket);

    QString directory_;
    FrontEnd frontEnd_ = FrontEnd::window;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer server_;
    QString error_;
    ControlHandler controlHandler_;
};

} // namespace tarnwick
