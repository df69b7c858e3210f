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
    case IdRole:
        return row.id;
    case Qt::DisplayRole:
    case DisplayNameRole:
        return row.displayName;
    case CodeRole:
        return row.code;
    case KeyRole:
        return row.key;
    default:
        return {};
    }
}

QHash<int, QByteArray> PairingRequestModel::roleNames() const {
    return {{IdRole, "requestId"},
            {DisplayNameRole, "displayName"},
            {CodeRole, "code"},
            {KeyRole, "requestKey"}};
}

void PairingRequestModel::refresh() {
    const int before = count();
    beginResetModel();
    rows_.clear();
    const ShownNames names = controller_.shownNames();
    for (const auto& request : controller_.pairingRequests()) {
        rows_.append(Row{QString::fromStdString(request.id),
                         QString::fromStdString(names.show(request.remoteHello.displayName)),
                         QString::fromStdString(request.code),
                         QString::fromStdString(request.key())});
    }
    endResetModel();
    if (count() != before) {
        emit countChanged();
    }
}

} // namespace tarnwick
