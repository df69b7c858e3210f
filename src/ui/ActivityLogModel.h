#pragma once

#include <QAbstractListModel>
#include <QList>
#include <QString>
#include <qqmlintegration.h>

namespace tarnwick {

class BridgeController;

// The newest lines of the controller's activity log, the newest first, at most maxLines of
// them. The log changes more than anything else the window shows, so a new line is one row
// inserted at the top and, once full, one row removed at the bottom; the rows are never reset.
// Follows the controller on the main thread through lineLogged.
class ActivityLogModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The window makes the model over its controller.")

public:
    enum Role { LineRole = Qt::UserRole + 1 };

    // The controller outlives the model. maxLines is at least one.
    explicit ActivityLogModel(const BridgeController& controller, qsizetype maxLines,
                              QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;
    qsizetype maxLines() const { return maxLines_; }

private:
    void prepend(const QString& line);

    qsizetype maxLines_;
    QList<QString> lines_;
};

} // namespace tarnwick
