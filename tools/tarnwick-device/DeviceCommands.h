#pragma once

#include "identity/DeviceIdentity.h"
#include "tarnwick-device/DeviceArguments.h"
#include "tarnwick-device/DeviceSession.h"
#include "tarnwick-device/RememberedBridge.h"

#include <QSettings>

#include <memory>
#include <ostream>
#include <string>

namespace tarnwick {

// What the commands work with: this device's identity and settings, its name toward bridges,
// and where output and messages go.
struct DeviceContext {
    const DeviceIdentity& identity;
    QSettings& settings;
    std::string displayName;
    std::ostream& out;
    std::ostream& err;
};

// The commands of tarnwick-device. Each runs to its end and gives the process's exit status.
class DeviceCommands {
public:
    explicit DeviceCommands(DeviceContext context);

    int run(const DeviceArguments& arguments);

private:
    int pair(const DeviceArguments& arguments);
    int call(const DeviceArguments& arguments);
    int watch(const DeviceArguments& arguments);
    int chat(const DeviceArguments& arguments);
    int answer(const DeviceArguments& arguments);
    int failed(const DeviceFailure& failure);

    // Where to pair: the named or given bridge, or the only one found.
    Expected<BridgeAddress, DeviceFailure> pairingAddress(const DeviceArguments& arguments);
    // An open session with the paired bridge (or the one given with --bridge). With
    // `mustBeAccepted`, a device the bridge does not know fails with "Pair this device first.".
    Expected<std::unique_ptr<DeviceSession>, DeviceFailure>
    openSession(const DeviceArguments& arguments, bool mustBeAccepted);

    DeviceContext context_;
    RememberedBridgeStore store_;
};

// discover: the bridges on the local network, as text or JSON.
int discoverBridges(const DeviceArguments& arguments, const std::string& displayName,
                    std::ostream& out, std::ostream& err);

} // namespace tarnwick
