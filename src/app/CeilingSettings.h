#pragma once

#include "bridge/BridgeCeilings.h"

#include <QSettings>

#include <memory>
#include <string>

namespace tarnwick {

// The device ceilings in the bridge's user defaults: "ceiling/everyDevice" and
// "ceiling/devices" (device ID to ceiling), each kept as JSON text. What is not there, or cannot
// be read, is the standard ceiling for this computer's home folder; a device's own ceiling that
// cannot be read is the least one.
class CeilingSettings : public BridgeCeilings {
public:
    // `codexFolder`: the folder the app-server runs in.
    CeilingSettings(std::unique_ptr<QSettings> settings, std::string home, std::string codexFolder);

    CeilingBook load() const override;
    [[nodiscard]] Expected<void, Error> save(const CeilingBook& book) override;
    std::string codexFolder() const override { return codexFolder_; }
    std::string homeFolder() const override { return home_; }

private:
    std::unique_ptr<QSettings> settings_;
    std::string home_;
    std::string codexFolder_;
};

} // namespace tarnwick
