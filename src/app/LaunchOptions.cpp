#include "app/LaunchOptions.h"

#include <cstdlib>

namespace tarnwick {

std::variant<LaunchOptions, QString> LaunchOptions::parse(const QStringList& arguments,
                                                          bool hasDisplay) {
    LaunchOptions options;
    options.mode = hasDisplay ? Mode::window : Mode::terminal;
    for (const QString& argument : arguments) {
        if (argument == u"--help" || argument == u"-h") {
            options.mode = Mode::help;
            return options;
        }
    }
    for (const QString& argument : arguments) {
        if (argument == u"--terminal") {
            options.mode = Mode::terminal;
        } else {
            return QStringLiteral("tarnwick-bridge: unknown option \"%1\"; see tarnwick-bridge "
                                  "--help.")
                .arg(argument);
        }
    }
    return options;
}

bool LaunchOptions::environmentHasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value) {
            return true;
        }
    }
    return false;
}

QString LaunchOptions::usage() {
    return QStringLiteral(
        "Usage: tarnwick-bridge [--terminal]\n"
        "\n"
        "Lets your paired phone or tablet drive the Codex CLI on this computer.\n"
        "\n"
        "Opens the bridge's window when there is a display. Without one (neither DISPLAY nor\n"
        "WAYLAND_DISPLAY is set), or with --terminal, the bridge runs in this terminal and takes\n"
        "commands on standard input; type \"help\" there for the list.\n"
        "\n"
        "  --terminal   run in the terminal even when there is a display\n"
        "  -h, --help   show this text\n"
        "\n"
        "Only one bridge runs at a time: a second launch brings the running one forward.\n");
}

} // namespace tarnwick
