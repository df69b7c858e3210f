#pragma once

#include <QSettings>

#include <memory>

namespace tarnwick {

// The bridge's user defaults: ${XDG_CONFIG_HOME:-$HOME/.config}/tarnwick/tarnwick-bridge.conf.
std::unique_ptr<QSettings> openUserDefaults();

} // namespace tarnwick
