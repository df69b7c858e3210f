#pragma once

#include "bridge/DeviceText.h"
#include "json/JSONValue.h"

#include <string>
#include <string_view>
#include <utility>

namespace tarnwick {

// Why a request went over the ceiling: the setting, what the device asked for (for the activity
// log) and the reason the device is told.
struct CeilingRefusal {
    std::string setting;
    std::string asked;
    std::string reason;

    // A device's text in quotes, short enough for a log line.
    static std::string quoted(std::string_view text) {
        std::string out(1, '"');
        out.append(boundedDeviceText(text, 200)).push_back('"');
        return out;
    }
    // `asked` is what the device sent, shown short enough for a log line.
    static CeilingRefusal of(std::string setting, const JSONValue& asked, std::string reason) {
        const std::string* text = asked.stringValue();
        return CeilingRefusal{std::move(setting),
                              text ? quoted(*text) : boundedDeviceText(asked.displayText(), 200),
                              std::move(reason)};
    }

    friend bool operator==(const CeilingRefusal&, const CeilingRefusal&) = default;
};

} // namespace tarnwick
