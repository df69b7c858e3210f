#include "ui/PairingRequestModel.h"

#include "bridge/BridgeController.h"

namespace tarnwick {

PairingRequestModel::PairingRequestModel(const BridgeController& controller, QObject* parent)
    : QAbstractListModel(parent), controller_(controller) {
    refresh();
    // A card's name may change with the names beside it (a look-alike arrives or goes).
    connect(&controller_, &BridgeController::shownNamesChanged, this,
            &PairingRequestModel::refresh);
}

int PairingRequestModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count();
}

QVariant PairingRequestModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return {};
    }
    const Row& row = rows_.at(index.row());
    switch (role) {
    case SerialRole:
        return row.serial;
    case Qt::DisplayRole:
    case DisplayNameRole:
        return row.displayName;
    case CodeRole:
        return row.code;
    default:
        return {};
    }
}

QHash<int, QByteArray> PairingRequestModel::roleNames() const {
    return {{SerialRole, "serial"}, {DisplayNameRole, "displayName"}, {CodeRole, "code"}};
}

void PairingRequestModel::refresh() {
    const int before = count();
    beginResetModel();
    rows_.clear();
    const ShownNames names = controller_.shownNames();
    for (const auto& request : controller_.pairingRequests()) {
        rows_.append(Row{request.serial,
                         QString::fromStdString(names.show(request.remoteHello.displayName)),
                         QString::fromStdString(request.code)});
    }
    endResetModel();
    if (count() != before) {
        emit countChanged();
    }
}

} // namespace tarnwick
