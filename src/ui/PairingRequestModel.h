#pragma once

#include <QAbstractListModel>
#include <QList>
#include <QString>
#include <qqmlintegration.h>

namespace tarnwick {

class BridgeController;

// The pairing requests waiting for the user, in the controller's order, one row each. Follows
// the controller on the main thread; the list is short, so every change resets it.
class PairingRequestModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The window makes the model over its controller.")
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    // "serial" and "code" name the one request a card shows (PairingRequest::serial): a
    // decision made on a card acts on that request or on none.
    // "displayName" is the name as shown (ShownNames), not the name the device sent.
    enum Role { SerialRole = Qt::UserRole + 1, DisplayNameRole, CodeRole };

    // The controller outlives the model.
    explicit PairingRequestModel(const BridgeController& controller, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;
    int count() const { return static_cast<int>(rows_.size()); }

signals:
    void countChanged();

private:
    struct Row {
        qulonglong serial;
        QString displayName;
        QString code;
    };

    void refresh();

    const BridgeController& controller_;
    QList<Row> rows_;
};

} // namespace tarnwick
