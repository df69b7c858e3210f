#pragma once

#include <QObject>
#include <QSettings>
#include <QString>

#include <memory>
#include <optional>

namespace tarnwick {

class ApprovalRouter;

// The person's choices about approval questions asked while no paired device is connected: how
// long such a question waits for one before it is declined, and the command run to tell them
// (NotifyCommand). Kept with the bridge's other defaults; a launch option sets either for one
// run without storing it. A change applies at once. Main thread only.
class ApprovalSettings : public QObject {
    Q_OBJECT
    // Seconds; noLimit waits as long as Codex does, 0 declines at once.
    Q_PROPERTY(int waitSeconds READ waitSeconds WRITE setWaitSeconds NOTIFY changed)
    // "10 min", "30 s", "no limit", "declined at once".
    Q_PROPERTY(QString waitText READ waitText NOTIFY changed)
    Q_PROPERTY(QString notifyCommand READ notifyCommand WRITE setNotifyCommand NOTIFY changed)

public:
    static constexpr int noLimit = -1;
    static constexpr int defaultWaitSeconds = 600;
    // A week: beyond that, no limit says it better.
    static constexpr int maxWaitSeconds = 7 * 24 * 3600;

    // `settings` is where the choices are kept (the bridge's user defaults).
    ApprovalSettings(ApprovalRouter& approvals, std::unique_ptr<QSettings> settings,
                     QObject* parent = nullptr);

    // SECONDS (0 to maxWaitSeconds), or "off" / "none" for no limit; nothing for anything else.
    static std::optional<int> parseWait(const QString& text);
    static QString describeWait(int seconds);

    int waitSeconds() const { return waitSeconds_; }
    QString waitText() const { return describeWait(waitSeconds_); }
    QString notifyCommand() const { return notifyCommand_; }
    // Stored, and applied at once.
    Q_INVOKABLE void setWaitSeconds(int seconds);
    Q_INVOKABLE void setNotifyCommand(const QString& path);
    // For this run only, not stored.
    void overrideForThisRun(std::optional<int> waitSeconds, std::optional<QString> notifyCommand);

    // "approval-wait SECONDS|off" and "notify-command PATH|off", as the terminal and the control
    // command take them; nothing for another command.
    struct Answer {
        bool ok = false;
        QString text;
    };
    std::optional<Answer> handleCommand(const QString& command, const QString& argument);
    // One line on how questions wait now, for status listings.
    QString summary() const;

signals:
    void changed();

private:
    void apply();

    ApprovalRouter& approvals_;
    std::unique_ptr<QSettings> settings_;
    int waitSeconds_ = defaultWaitSeconds;
    QString notifyCommand_;
};

} // namespace tarnwick
