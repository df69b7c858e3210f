#pragma once

#include "ui/CeilingCommand.h"

#include <QObject>
#include <QString>
#include <qqmlintegration.h>

#include <vector>

namespace tarnwick {

class BridgeController;

// The window's "Device ceiling" section: the most every device may ask Codex to do, and a
// device's own read-only ceiling from its card. Each change goes to the controller, which keeps
// it and tells the devices. Main thread only.
class CeilingPanel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The window makes the panel over its controller.")
    // 0 read-only, 1 workspace-write, 2 danger-full-access.
    Q_PROPERTY(int sandbox READ sandbox NOTIFY changed)
    Q_PROPERTY(bool approvalNever READ approvalNever NOTIFY changed)
    Q_PROPERTY(bool networkAccess READ networkAccess NOTIFY changed)
    // The folder roots, one a line.
    Q_PROPERTY(QString roots READ roots NOTIFY changed)
    // What the last change gave away, or why it was not made; "" before any.
    Q_PROPERTY(QString message READ message NOTIFY changed)

public:
    // The controller outlives the panel.
    explicit CeilingPanel(BridgeController& controller, QObject* parent = nullptr);

    int sandbox() const;
    bool approvalNever() const;
    bool networkAccess() const;
    QString roots() const;
    const QString& message() const { return message_; }

    Q_INVOKABLE void setSandbox(int level);
    Q_INVOKABLE void setApprovalNever(bool allowed);
    Q_INVOKABLE void setNetworkAccess(bool allowed);
    // Absolute folders, one a line; blank lines are skipped.
    Q_INVOKABLE void setRoots(const QString& lines);
    // Holds one device to read-only within the ceiling for every device, or lets it go back.
    Q_INVOKABLE void setDeviceReadOnly(const QString& deviceID, bool readOnly);

signals:
    void changed();

private:
    void run(const QStringList& words,
             const std::vector<CeilingCommand::ListedDevice>& listed = {});

    BridgeController& controller_;
    QString message_;
};

} // namespace tarnwick
