#include "app/BridgeLaunchOptions.h"

#include <cstdlib>

namespace tarnwick {

namespace {

// The control commands: how many words follow each.
struct ControlCommand {
    const char16_t* name;
    int arguments;
};
constexpr ControlCommand controlCommands[] = {
    {u"status", 0},  {u"requests", 0}, {u"pair", 1},    {u"reject", 1},
    {u"devices", 0}, {u"forget", 1},   {u"restart", 0}, {u"phone", 0},
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
            if (arguments.size() - 1 != command.arguments ||
                (command.arguments == 1 && !isNumber(arguments.at(1)))) {
                return complaint(
                    command.arguments == 0
                        ? QStringLiteral("\"%1\" takes no argument").arg(arguments.first())
                        : QStringLiteral("\"%1\" takes one number").arg(arguments.first()));
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
        "Usage: tarnwick-bridge [--terminal | --service]\n"
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
        "  -h, --help   show this text\n"
        "\n"
        "Commands for the running bridge, whichever way it runs:\n"
        "  status       show its status and the waiting pairing requests\n"
        "  requests     list the waiting pairing requests, numbered, with their codes\n"
        "  pair N       pair request N of that list, once its code matches the device\n"
        "  reject N     turn request N of that list away\n"
        "  devices      list the trusted devices, numbered\n"
        "  forget N     stop trusting device N of that list\n"
        "  restart      restart the Codex app-server\n"
        "  phone        show a QR code that pairs a phone, once, within 5 minutes\n"
        "\n"
        "Exit status of a command: 0 done, 1 refused by the running bridge, 2 bad usage,\n"
        "3 no bridge running, or it did not answer.\n"
        "\n"
        "Only one bridge runs at a time: a second launch brings the running one forward.\n");
}

} // namespace tarnwick
