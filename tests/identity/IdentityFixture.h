#pragma once

#include "identity/DeviceIdentity.h"
#include "support/MemoryKeychain.h"

#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace tarnwick::testing {

// Settings in a temporary file, reopened on demand as a new launch would, and a keychain.
class IdentityFixture : public ::testing::Test {
protected:
    QSettings& settings() {
        if (!settings_) {
            settings_ = std::make_unique<QSettings>(folder_.filePath("tarnwick-bridge.conf"),
                                                    QSettings::IniFormat);
        }
        return *settings_;
    }
    // Drops the open settings so that the next use reads the file again.
    void relaunch() { settings_.reset(); }

    std::unique_ptr<DeviceIdentity> makeIdentity() {
        auto identity = DeviceIdentity::create(keychain, settings());
        EXPECT_TRUE(identity.hasValue()) << (identity ? "" : identity.error().description);
        return identity ? std::move(*identity) : nullptr;
    }

    MemoryKeychain keychain;

private:
    QTemporaryDir folder_;
    std::unique_ptr<QSettings> settings_;
};

} // namespace tarnwick::testing
