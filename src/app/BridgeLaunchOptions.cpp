#include "app/BridgeLaunchOptions.h"

#include "ui/ApprovalSettings.h"

#include <cstdlib>

namespace tarnwick {

namespace {

// The control commands: how many words follow each (-1: any number).
struct ControlCommand {
    const char16_t* name;
    int arguments;
};
constexpr ControlCommand controlCommands[] = {
    {u"status", 0},   {u"requests", 0},      {u"pair", 1},           {u"reject", 1},
    {u"devices", 0},  {u"forget", 1},        {u"restart", 0},        {u"phone", 0},
    {u"ceiling", -1}, {u"approval-wait", 1}, {u"notify-command", 1},
};

// The argument of "pair N", "reject N" and "forget N": a number from 1.
bool isNumber(const QString& argument) {
    bool ok = false;
    return argument.toInt(&ok) >= 1 && ok;
}

QString complaint(const QString& text) {
    return QStringLiteral("tarnwick-bridge: %1; see tarnwick-bridge --help.").arg(text);
}

} // namespace

std::variant<BridgeLaunchOptions, QString> BridgeLaunchOptions::parse(const QStringList& arguments,
                                                                      bool hasDisplay) {
    BridgeLaunchOptions options;
    options.mode = hasDisplay ? Mode::window : Mode::terminal;
    for (const QString& argument : arguments) {
        if (argument == u"--help" || argument == u"-h") {
            options.mode = Mode::help;
            return options;
        }
    }
    if (!arguments.isEmpty() && !arguments.first().startsWith(u'-')) {
        for (const ControlCommand& command : controlCommands) {
            if (arguments.first() != QStringView(command.name)) {
                continue;
            }
            // A malformed command is bad usage, told here; only the running bridge can refuse a
            // well-formed one.
            const QString& name = arguments.first();
            const bool takesNumber = name == u"pair" || name == u"reject" || name == u"forget";
            if ((command.arguments >= 0 && arguments.size() - 1 != command.arguments) ||
                (takesNumber && !isNumber(arguments.at(1)))) {
                const QString wanted = name == u"approval-wait"    ? QStringLiteral("number or off")
                                       : name == u"notify-command" ? QStringLiteral("path or off")
                                                                   : QStringLiteral("number");
                return complaint(command.arguments == 0
                                     ? QStringLiteral("\"%1\" takes no argument").arg(name)
                                     : QStringLiteral("\"%1\" takes one %2").arg(name, wanted));
            }
            options.mode = Mode::control;
            options.command = arguments;
            return options;
        }
        return complaint(QStringLiteral("unknown command \"%1\"").arg(arguments.first()));
    }
    for (const QString& argument : arguments) {
        if (argument == u"--terminal") {
            options.mode = Mode::terminal;
        } else if (argument == u"--service") {
            options.mode = Mode::service;
        } else if (argument.startsWith(u"--approval-wait=")) {
            options.approvalWait = ApprovalSettings::parseWait(argument.section(u'=', 1));
            if (!options.approvalWait) {
                return complaint(QStringLiteral("--approval-wait takes SECONDS or off"));
            }
        } else if (argument.startsWith(u"--notify-command=")) {
            options.notifyCommand = argument.section(u'=', 1);
            if (options.notifyCommand->isEmpty() || !options.notifyCommand->startsWith(u'/')) {
                return complaint(QStringLiteral("--notify-command takes an absolute path"));
            }
        } else {
            return complaint(QStringLiteral("unknown option \"%1\"").arg(argument));
        }
    }
    return options;
}

bool BridgeLaunchOptions::environmentHasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value) {
            return true;
        }
    }
    return false;
}

QString BridgeLaunchOptions::usage() {
    return QStringLiteral(
        "Usage: tarnwick-bridge [--terminal | --service] [--approval-wait=SECONDS|off]\n"
        "                       [--notify-command=PATH]\n"
        "       tarnwick-bridge COMMAND\n"
        "\n"
        "Lets your paired phone or tablet drive the Codex CLI on this computer.\n"
        "\n"
        "Opens the bridge's window when there is a display. Without one (neither DISPLAY nor\n"
        "WAYLAND_DISPLAY is set), or with --terminal, the bridge runs in this terminal and takes\n"
        "commands on standard input; type \"help\" there for the list.\n"
        "\n"
        "  --terminal   run in the terminal even when there is a display\n"
        "  --service    run without a terminal or window, writing the activity to standard\n"
        "               error (as the systemd user unit tarnwick-bridge.service does)\n"
        "  --approval-wait=SECONDS|off\n"
        "               for this run: how long Codex's approval questions wait for a paired\n"
        "               device when none is connected (default 600, the stored setting;\n"
        "               0 declines at once, off waits as long as Codex does)\n"
        "  --notify-command=PATH\n"
        "               for this run: the program run, with a JSON description on its\n"
        "               standard input, when a question waits or a turn ends with no paired\n"
        "               device connected (see the README)\n"
        "  -h, --help   show this text\n"
        "\n"
        "Commands for the running bridge, whichever way it runs:\n"
        "  status       show its status and the waiting pairing requests\n"
        "  requests     list the waiting pairing requests, numbered, with their codes\n"
        "  pair N       pair request N of that list, once its code matches the device\n"
        "  reject N     turn request N of that list away\n"
        "  devices      list the trusted devices, numbered\n"
        "  forget N     stop trusting device N of that list\n"
        "  ceiling      show the most a device may ask Codex to do; change it with\n"
        "               ceiling [device N] sandbox read-only|workspace-write|danger-full-access,\n"
        "               approvals ask|off, network off|on, roots FOLDER..., or\n"
        "               ceiling device N clear\n"
        "  restart      restart the Codex app-server\n"
        "  phone        show a QR code that pairs a phone, once, within 5 minutes\n"
        "  approval-wait SECONDS|off\n"
        "               how long approval questions wait for a paired device, kept for later\n"
        "               runs (0 declines at once)\n"
        "  notify-command PATH|off\n"
        "               the program run when Codex waits and no paired device is connected,\n"
        "               kept for later runs\n"
        "\n"
        "Exit status of a command: 0 done, 1 refused by the running bridge, 2 bad usage,\n"
        "3 no bridge running, or it did not answer.\n"
        "\n"
        "Only one bridge runs at a time: a second launch brings the running one forward.\n");
}

} // namespace tarnwick
