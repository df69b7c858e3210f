#include "ui/CeilingCommand.h"

#include <algorithm>

namespace tarnwick {

namespace {

CeilingCommand::Outcome refused(const QString& text) {
    return CeilingCommand::Outcome{false, text + u'\n', std::nullopt};
}

const QString usage = QStringLiteral(
    "Say what to change: \"ceiling sandbox read-only|workspace-write|danger-full-access\", "
    "\"ceiling approvals ask|off\", \"ceiling network off|on\", \"ceiling roots FOLDER...\", each "
    "after \"device N\" for one device, or \"ceiling device N clear\".");

// What each step up gives away, said when it is taken.
QString widening(const DeviceCeiling& before, const DeviceCeiling& after) {
    QString text;
    if (after.sandbox > before.sandbox) {
        text += after.sandbox == SandboxLevel::dangerFullAccess
                    ? QStringLiteral("Devices may now let Codex run commands with no sandbox: "
                                     "anything this account can do.\n")
                    : QStringLiteral("Devices may now let Codex change files in their working "
                                     "folder.\n");
    }
    if (after.approvalNever && !before.approvalNever) {
        text += QStringLiteral("Devices may now let Codex act without asking anyone.\n");
    }
    if (after.networkAccess && !before.networkAccess) {
        text += QStringLiteral("Commands in the sandbox may now reach the network, and send out "
                               "what they can read.\n");
    }
    return text;
}

} // namespace

CeilingCommand::Outcome CeilingCommand::run(const QStringList& words, const CeilingBook& book,
                                            const std::vector<ListedDevice>& listed) {
    if (words.isEmpty()) {
        return Outcome{true, describe(book, listed), std::nullopt};
    }
    QStringList rest = words;
    std::optional<std::string> deviceID;
    if (rest.front() == u"device") {
        bool number = false;
        const int n = rest.value(1).toInt(&number);
        if (!number) {
            return refused(QStringLiteral("Say which device: \"ceiling device N ...\", with N its "
                                          "number in the \"devices\" list."));
        }
        if (n < 1 || static_cast<std::size_t>(n) > listed.size()) {
            return refused(
                QStringLiteral("There is no device %1 in the last \"devices\" list.").arg(n));
        }
        deviceID = listed[static_cast<std::size_t>(n - 1)].deviceID;
        rest = rest.mid(2);
    }
    CeilingBook changed = book;
    const DeviceCeiling before = deviceID ? book.effectiveFor(*deviceID) : book.everyDevice;
    DeviceCeiling ceiling = before;
    const QString setting = rest.value(0);
    const QString value = rest.value(1);
    const bool single = rest.size() == 2;
    if (deviceID && setting == u"clear" && rest.size() == 1) {
        changed.devices.erase(*deviceID);
    } else if (setting == u"sandbox" && single) {
        auto level = sandboxLevelFromMode(value.toStdString());
        if (!level) {
            return refused(usage);
        }
        ceiling.sandbox = *level;
    } else if (setting == u"approvals" && single && (value == u"ask" || value == u"off")) {
        ceiling.approvalNever = value == u"off";
    } else if (setting == u"network" && single && (value == u"on" || value == u"off")) {
        ceiling.networkAccess = value == u"on";
    } else if (setting == u"roots" && rest.size() >= 2) {
        ceiling.roots.clear();
        for (const QString& folder : rest.mid(1)) {
            if (!folder.startsWith(u'/')) {
                return refused(
                    QStringLiteral("A folder must be given as an absolute path: %1").arg(folder));
            }
            ceiling.roots.push_back(folder.toStdString());
        }
    } else {
        return refused(usage);
    }
    if (deviceID && setting != u"clear") {
        // A device's own ceiling can only lower the one for every device.
        if (book.everyDevice.meet(ceiling) != ceiling) {
            return refused(QStringLiteral("A device's own ceiling can only be lower than the "
                                          "one for every device: raise that one first."));
        }
        changed.devices[*deviceID] = ceiling;
    } else if (!deviceID) {
        changed.everyDevice = ceiling;
    }
    return Outcome{true, widening(before, ceiling) + describe(changed, listed), changed};
}

QString CeilingCommand::describe(const CeilingBook& book, const std::vector<ListedDevice>& listed) {
    QString text = QStringLiteral("Ceiling for every device: %1\n")
                       .arg(QString::fromStdString(book.everyDevice.summary()));
    for (std::size_t i = 0; i < listed.size(); ++i) {
        if (auto line = deviceLine(book, listed[i].deviceID)) {
            text += QStringLiteral("  %1. %2: %3\n")
                        .arg(QString::number(i + 1), listed[i].shownName, *line);
        }
    }
    return text;
}

std::optional<QString> CeilingCommand::deviceLine(const CeilingBook& book,
                                                  const std::string& deviceID) {
    if (!book.devices.contains(deviceID)) {
        return std::nullopt;
    }
    return QStringLiteral("own ceiling: %1")
        .arg(QString::fromStdString(book.effectiveFor(deviceID).summary()));
}

QStringList CeilingCommand::helpLines() {
    return {
        QStringLiteral("  ceiling        show the most devices may ask Codex to do"),
        QStringLiteral("  ceiling [device N] sandbox|approvals|network|roots VALUE..."),
        QStringLiteral("                 change it, for every device or for device N alone"),
    };
}

} // namespace tarnwick
