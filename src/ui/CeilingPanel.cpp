#include "ui/CeilingPanel.h"

#include "bridge/BridgeController.h"
#include "ui/CeilingCommand.h"

namespace tarnwick {

CeilingPanel::CeilingPanel(BridgeController& controller, QObject* parent)
    : QObject(parent), controller_(controller) {
    connect(&controller_, &BridgeController::ceilingsChanged, this, &CeilingPanel::changed);
}

int CeilingPanel::sandbox() const {
    return static_cast<int>(controller_.ceilings().everyDevice.sandbox);
}

bool CeilingPanel::approvalNever() const {
    return controller_.ceilings().everyDevice.approvalNever;
}

bool CeilingPanel::networkAccess() const {
    return controller_.ceilings().everyDevice.networkAccess;
}

QString CeilingPanel::roots() const {
    QStringList lines;
    for (const std::string& root : controller_.ceilings().everyDevice.roots) {
        lines.append(QString::fromStdString(root));
    }
    return lines.join(u'\n');
}

void CeilingPanel::setSandbox(int level) {
    if (level < 0 || level > static_cast<int>(SandboxLevel::dangerFullAccess)) {
        return;
    }
    run({QStringLiteral("sandbox"),
         QString::fromLatin1(sandboxModeName(static_cast<SandboxLevel>(level)))});
}

void CeilingPanel::setApprovalNever(bool allowed) {
    run({QStringLiteral("approvals"), allowed ? QStringLiteral("off") : QStringLiteral("ask")});
}

void CeilingPanel::setNetworkAccess(bool allowed) {
    run({QStringLiteral("network"), allowed ? QStringLiteral("on") : QStringLiteral("off")});
}

void CeilingPanel::setRoots(const QString& lines) {
    QStringList words{QStringLiteral("roots")};
    for (const QString& line : lines.split(u'\n')) {
        if (!line.trimmed().isEmpty()) {
            words.append(line.trimmed());
        }
    }
    run(words);
}

void CeilingPanel::setDeviceReadOnly(const QString& deviceID, bool readOnly) {
    // The card's device, as number 1 of a listing of one.
    QStringList words{QStringLiteral("device"), QStringLiteral("1")};
    words += readOnly ? QStringList{QStringLiteral("sandbox"), QStringLiteral("read-only")}
                      : QStringList{QStringLiteral("clear")};
    run(words, {{deviceID.toStdString(), {}}});
}

void CeilingPanel::run(const QStringList& words,
                       const std::vector<CeilingCommand::ListedDevice>& listed) {
    auto outcome = CeilingCommand::run(words, controller_.ceilings(), listed);
    message_.clear();
    if (outcome.changed) {
        if (auto set = controller_.setCeilings(std::move(*outcome.changed)); !set) {
            message_ = QString::fromStdString(set.error().description);
        }
    }
    if (!outcome.done) {
        message_ = outcome.text.trimmed();
    } else if (message_.isEmpty()) {
        // The first lines say what a step up gave away; the rest describe the ceilings.
        QStringList lines = outcome.text.trimmed().split(u'\n');
        lines.removeIf([](const QString& line) {
            return line.startsWith(u"Ceiling for") || line.startsWith(u"  ");
        });
        message_ = lines.join(u' ');
    }
    emit changed();
}

} // namespace tarnwick
