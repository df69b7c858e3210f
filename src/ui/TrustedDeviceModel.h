#pragma once

#include <QAbstractListModel>
#include <QDateTime>
#include <QList>
#include <QString>
#include <qqmlintegration.h>

namespace tarnwick {

class BridgeController;

// The trusted devices, in the controller's order (sorted by name), one row each. Follows the
// controller on the main thread; the list is short, so every change resets it.
class TrustedDeviceModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The window makes the model over its controller.")
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    // "note": the warning for a device paired with handshake version 1, else "".
    // "displayName" is the name as shown (ShownNames), not the name the device sent.
    // "ownCeiling": the device's own ceiling (CeilingCommand::deviceLine), else "".
    enum Role {
        DeviceIDRole = Qt::UserRole + 1,
        DisplayNameRole,
        PairedAtRole,
        NoteRole,
        OwnCeilingRole
    };

    // The controller outlives the model.
    explicit TrustedDeviceModel(const BridgeController& controller, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;
    int count() const { return static_cast<int>(rows_.size()); }

signals:
    void countChanged();

private:
    struct Row {
        QString deviceID;
        QString displayName;
        QDateTime pairedAt;
        QString note;
        QString ownCeiling;
    };

    void refresh();

    const BridgeController& controller_;
    QList<Row> rows_;
};

} // namespace tarnwick
