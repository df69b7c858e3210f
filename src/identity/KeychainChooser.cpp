#include "identity/KeychainChooser.h"

#include "identity/FileKeychain.h"
#include "identity/IdentityLog.h"
#include "identity/MigratingKeychain.h"
#include "identity/SecretServiceKeychain.h"

#include <gio/gio.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace tarnwick {

namespace {

// How long the probe waits for the Secret Service, which includes starting it on demand.
constexpr int probeTimeoutMilliseconds = 10000;

std::filesystem::path homeFolder() {
    const char* home = std::getenv("HOME");
    if (home && *home) {
        return home;
    }
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry = {};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir) {
        return found->pw_dir;
    }
    return "/";
}

} // namespace

std::filesystem::path defaultKeychainRoot() {
    std::filesystem::path dataHome;
    // An empty or relative value is no valid setting and is ignored.
    if (const char* value = std::getenv("XDG_DATA_HOME"); value && *value == '/') {
        dataHome = value;
    } else {
        dataHome = homeFolder() / ".local" / "share";
    }
    return dataHome / "tarnwick-bridge" / "keychain";
}

bool secretServiceAvailable() {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        qCInfo(identityLog, "No session bus (%s); keychain items are kept in private files.",
               error ? error->message : "unknown error");
        g_clear_error(&error);
        return false;
    }
    // Any call to the service's name makes the bus start it when it is activatable.
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.secrets", "/org/freedesktop/secrets",
        "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.freedesktop.Secret.Service", "Collections"),
        G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, probeTimeoutMilliseconds, nullptr, &error);
    g_object_unref(bus);
    if (!reply) {
        qCInfo(identityLog, "No Secret Service (%s); keychain items are kept in private files.",
               error ? error->message : "unknown error");
        g_clear_error(&error);
        return false;
    }
    g_variant_unref(reply);
    return true;
}

std::unique_ptr<KeychainStore> openKeychain(std::string service) {
    bool useSecretService = secretServiceAvailable();
    return openKeychain(std::move(service), defaultKeychainRoot(), useSecretService);
}

std::unique_ptr<KeychainStore> openKeychain(std::string service, std::filesystem::path fileRoot,
                                            bool useSecretService) {
    auto files = std::make_unique<FileKeychain>(service, std::move(fileRoot));
    if (!useSecretService) {
        return files;
    }
    return std::make_unique<MigratingKeychain>(
        std::make_unique<SecretServiceKeychain>(std::move(service)), std::move(files));
}

} // namespace tarnwick
