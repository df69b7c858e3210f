#pragma once

#include "bridge/DeviceCeiling.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

// The `ceiling` command, the same in the terminal and for `tarnwick-bridge ceiling`:
//   ceiling                              shows the ceilings
//   ceiling [device N] sandbox MODE      read-only, workspace-write or danger-full-access
//   ceiling [device N] approvals ask|off whether a device may turn approvals off
//   ceiling [device N] network off|on    whether the sandbox may reach the network
//   ceiling [device N] roots FOLDER...   the folders devices may work in (absolute paths)
//   ceiling device N clear               device N is held to the ceiling for every device
// N numbers the trusted devices as the last `devices` listing did.
class CeilingCommand {
public:
    struct ListedDevice {
        std::string deviceID;
        QString shownName;
    };
    struct Outcome {
        bool done = false;
        // What to show: the ceilings as they now are, or why nothing changed.
        QString text;
        std::optional<CeilingBook> changed;
    };

    static Outcome run(const QStringList& words, const CeilingBook& book,
                       const std::vector<ListedDevice>& listed);
    // Every ceiling, one per line, devices by the names listed.
    static QString describe(const CeilingBook& book, const std::vector<ListedDevice>& listed);
    // The line shown under a device in `devices` (and on its card) when it has its own ceiling.
    static std::optional<QString> deviceLine(const CeilingBook& book, const std::string& deviceID);
    static QStringList helpLines();
};

} // namespace tarnwick
