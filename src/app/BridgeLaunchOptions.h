#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace tarnwick {

// How one launch of the bridge is to run, from its command line and its surroundings.
struct BridgeLaunchOptions {
    enum class Mode { window, terminal, service, control, help };
    Mode mode = Mode::window;
    // For Mode::control: the command and its argument, as in {"pair", "2"}.
    QStringList command;
    // For this run only: how long approval questions wait for a paired device, in seconds
    // (ApprovalSettings::noLimit for no limit), and the notify command.
    std::optional<int> approvalWait;
    std::optional<QString> notifyCommand;

    // `arguments` without the program name. Without a display the bridge runs in the terminal
    // whatever the arguments ask. Gives the one-line complaint for an argument it does not know.
    static std::variant<BridgeLaunchOptions, QString> parse(const QStringList& arguments,
                                                            bool hasDisplay);
    // Whether the environment names a display (DISPLAY or WAYLAND_DISPLAY set and not empty).
    static bool environmentHasDisplay();
    static QString usage();
};

} // namespace tarnwick
