#include "ui/TrustedDeviceModel.h"

#include "bridge/BridgeController.h"
#include "platform/ReferenceDate.h"
#include "ui/CeilingCommand.h"

namespace tarnwick {

TrustedDeviceModel::TrustedDeviceModel(const BridgeController& controller, QObject* parent)
    : QAbstractListModel(parent), controller_(controller) {
    refresh();
    // A row's name may change with the names beside it (a look-alike arrives or goes).
    connect(&controller_, &BridgeController::shownNamesChanged, this, &TrustedDeviceModel::refresh);
    connect(&controller_, &BridgeController::ceilingsChanged, this, &TrustedDeviceModel::refresh);
}

int TrustedDeviceModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count();
}

QVariant TrustedDeviceModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return {};
    }
    const Row& row = rows_.at(index.row());
    switch (role) {
    case DeviceIDRole:
        return row.deviceID;
    case Qt::DisplayRole:
    case DisplayNameRole:
        return row.displayName;
    case PairedAtRole:
        return row.pairedAt;
    case NoteRole:
        return row.note;
    case OwnCeilingRole:
        return row.ownCeiling;
    default:
        return {};
    }
}

QHash<int, QByteArray> TrustedDeviceModel::roleNames() const {
    return {{DeviceIDRole, "deviceID"},
            {DisplayNameRole, "displayName"},
            {PairedAtRole, "pairedAt"},
            {NoteRole, "note"},
            {OwnCeilingRole, "ownCeiling"}};
}

void TrustedDeviceModel::refresh() {
    const int before = count();
    beginResetModel();
    rows_.clear();
    const ShownNames names = controller_.shownNames();
    for (const auto& peer : controller_.trustedPeers()) {
        rows_.append(Row{
            QString::fromStdString(peer.deviceID),
            QString::fromStdString(names.show(peer.displayName)),
            QDateTime::fromMSecsSinceEpoch(unixMillisecondsFromReferenceSeconds(peer.pairedAt)),
            peer.protocolVersion < 2 ? QString::fromLatin1(BridgeController::versionOneNote)
                                     : QString(),
            CeilingCommand::deviceLine(controller_.ceilings(), peer.deviceID).value_or(QString())});
    }
    endResetModel();
    if (count() != before) {
        emit countChanged();
    }
}

} // namespace tarnwick
