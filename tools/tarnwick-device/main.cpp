// tarnwick-device: a device on the command line that pairs with a Tarnwick bridge and drives
// Codex through it.
#include "identity/KeychainChooser.h"
#include "platform/SystemHostName.h"
#include "tarnwick-device/DeviceCommands.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <iostream>

using namespace tarnwick;

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    // Standard error carries the program's own messages; the libraries' notes stay quiet unless
    // QT_LOGGING_RULES asks for them.
    QLoggingCategory::setFilterRules(
        QStringLiteral("tarnwick.*.info=false\ntarnwick.*.debug=false"));
    auto arguments = DeviceArguments::parse(std::vector<std::string>(argv + 1, argv + argc));
    if (!arguments) {
        std::cerr << arguments.error() << "\nRun tarnwick-device --help for help.\n";
        return static_cast<int>(ExitStatus::usage);
    }
    if (arguments->help) {
        std::cout << usageText(arguments->command);
        return static_cast<int>(ExitStatus::done);
    }
    std::string name = arguments->name.value_or(
        SystemHostName().localizedName().value_or(std::string("tarnwick-device")));
    if (arguments->command == DeviceArguments::Command::discover) {
        return discoverBridges(*arguments, name, std::cout, std::cerr);
    }

    auto keychain = openKeychain("app.tarnwick.device");
    QSettings settings("tarnwick", "tarnwick-device");
    auto identity = DeviceIdentity::create(*keychain, settings);
    if (!identity) {
        std::cerr << "Could not load this device's identity: " << identity.error().description
                  << "\n";
        return static_cast<int>(ExitStatus::failed);
    }
    DeviceCommands commands(DeviceContext{**identity, settings, name, std::cout, std::cerr});
    return commands.run(*arguments);
}
