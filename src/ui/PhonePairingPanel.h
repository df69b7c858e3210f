#pragma once

#include "ui/PhonePairingText.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <qqmlintegration.h>

namespace tarnwick {

class BridgeController;

// The window's "Connect a phone" panel: while it is open, the controller holds a one-time
// secret and the panel shows the address with it as a QR code and as text. Closing the panel
// burns the secret; a phone pairing with it closes the panel. Main thread only.
class PhonePairingPanel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The window makes the panel over its controller.")
    Q_PROPERTY(bool open READ isOpen NOTIFY changed)
    // The address the phone opens, "" when the bridge cannot pair a phone yet.
    Q_PROPERTY(QString address READ address NOTIFY changed)
    // Why a phone cannot open the address (it is this computer's loopback), "" when it can.
    Q_PROPERTY(QString warning READ warning NOTIFY changed)
    // The QR code of the address as a PNG data address, "" without an address.
    Q_PROPERTY(QString image READ image NOTIFY changed)
    // The panel's fixed texts, shared with the terminal.
    Q_PROPERTY(QString notReadyText READ notReadyLine CONSTANT)
    Q_PROPERTY(QString onceText READ onceLine CONSTANT)
    // The trust step for this address and the certificate authority; empty without either.
    Q_PROPERTY(QStringList trustLines READ trustLines NOTIFY changed)

public:
    // The controller outlives the panel.
    explicit PhonePairingPanel(BridgeController& controller, QObject* parent = nullptr);
    ~PhonePairingPanel() override;

    bool isOpen() const { return open_; }
    const QString& address() const { return address_; }
    const QString& image() const { return image_; }
    const QString& warning() const { return warning_; }
    static QString notReadyLine() { return QString::fromLatin1(PhonePairingText::notReady); }
    static QString onceLine() { return QString::fromLatin1(PhonePairingText::once); }
    QStringList trustLines() const;

    // Opens the panel with a new secret, replacing the one shown before.
    Q_INVOKABLE void show();
    // Closes the panel and burns its secret.
    Q_INVOKABLE void close();

signals:
    void changed();

private:
    BridgeController& controller_;
    bool open_ = false;
    QString address_;
    QString image_;
    QString warning_;
};

} // namespace tarnwick
