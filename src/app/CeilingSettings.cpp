#include "app/CeilingSettings.h"

#include <utility>

namespace tarnwick {

namespace {

const QString everyDeviceKey = QStringLiteral("ceiling/everyDevice");
const QString devicesKey = QStringLiteral("ceiling/devices");

std::optional<JSONValue> storedJSON(const QSettings& settings, const QString& key) {
    if (!settings.contains(key)) {
        return std::nullopt;
    }
    auto decoded = JSONValue::decode(settings.value(key).toString().toStdString());
    return decoded ? std::optional<JSONValue>(std::move(*decoded)) : std::nullopt;
}

} // namespace

CeilingSettings::CeilingSettings(std::unique_ptr<QSettings> settings, std::string home,
                                 std::string codexFolder)
    : settings_(std::move(settings)), home_(std::move(home)), codexFolder_(std::move(codexFolder)) {
}

CeilingBook CeilingSettings::load() const {
    CeilingBook book{DeviceCeiling::standard(home_), {}};
    if (auto every = storedJSON(*settings_, everyDeviceKey)) {
        book.everyDevice = DeviceCeiling::fromJSON(*every).value_or(book.everyDevice);
    }
    if (auto devices = storedJSON(*settings_, devicesKey)) {
        if (const JSONObject* byID = devices->objectValue()) {
            for (const auto& [deviceID, ceiling] : *byID) {
                book.devices[deviceID] = DeviceCeiling::fromJSON(ceiling).value_or(DeviceCeiling{});
            }
        }
    }
    return book;
}

Expected<void, Error> CeilingSettings::save(const CeilingBook& book) {
    JSONObject devices;
    for (const auto& [deviceID, ceiling] : book.devices) {
        devices.set(deviceID, ceiling.toJSON());
    }
    auto every = book.everyDevice.toJSON().encode();
    auto byID = JSONValue(std::move(devices)).encode();
    if (!every || !byID) {
        return Unexpected(Error{"The ceiling could not be written."});
    }
    settings_->setValue(everyDeviceKey, QString::fromStdString(*every));
    settings_->setValue(devicesKey, QString::fromStdString(*byID));
    settings_->sync();
    if (settings_->status() != QSettings::NoError) {
        return Unexpected(Error{"The settings file " + settings_->fileName().toStdString() +
                                " could not be written."});
    }
    return {};
}

} // namespace tarnwick
