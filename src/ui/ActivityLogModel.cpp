#include "ui/ActivityLogModel.h"

#include "bridge/BridgeController.h"

#include <algorithm>

namespace tarnwick {

ActivityLogModel::ActivityLogModel(const BridgeController& controller, qsizetype maxLines,
                                   QObject* parent)
    : QAbstractListModel(parent), maxLines_(std::max<qsizetype>(1, maxLines)) {
    for (const auto& line : controller.logs()) {
        if (lines_.size() == maxLines_) {
            break;
        }
        lines_.append(QString::fromStdString(line));
    }
    connect(&controller, &BridgeController::lineLogged, this, &ActivityLogModel::prepend);
}

int ActivityLogModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(lines_.size());
}

QVariant ActivityLogModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return {};
    }
    if (role == LineRole || role == Qt::DisplayRole) {
        return lines_.at(index.row());
    }
    return {};
}

QHash<int, QByteArray> ActivityLogModel::roleNames() const {
    return {{LineRole, "line"}};
}

void ActivityLogModel::prepend(const QString& line) {
    beginInsertRows({}, 0, 0);
    lines_.prepend(line);
    endInsertRows();
    if (lines_.size() > maxLines_) {
        const int first = static_cast<int>(maxLines_);
        beginRemoveRows({}, first, static_cast<int>(lines_.size()) - 1);
        lines_.resize(maxLines_);
        endRemoveRows();
    }
}

} // namespace tarnwick
