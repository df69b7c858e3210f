#pragma once

// A private home for tests that touch settings, the keychain or the Codex CLI, so nothing of
// the developer's own account is read or changed.

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarnwick::testing {

// A new empty folder under the system's temporary folder, removed with all it holds.
class TemporaryDirectory {
public:
    explicit TemporaryDirectory(const std::string& prefix = "tarnwick-test") {
        std::string pattern =
            (std::filesystem::temp_directory_path() / (prefix + ".XXXXXX")).string();
        if (!mkdtemp(pattern.data())) {
            throw std::runtime_error("mkdtemp failed for " + pattern);
        }
        path_ = pattern;
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Sets (or unsets) one environment variable and puts the old value back afterwards. Change the
// environment only while no other thread reads it.
class ScopedEnvironmentVariable {
public:
    ScopedEnvironmentVariable(std::string name, std::optional<std::string> value)
        : name_(std::move(name)) {
        if (const char* old = getenv(name_.c_str())) {
            old_ = old;
        }
        apply(value);
    }
    ~ScopedEnvironmentVariable() { apply(old_); }
    ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
    ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

private:
    void apply(const std::optional<std::string>& value) {
        if (value) {
            setenv(name_.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }

    std::string name_;
    std::optional<std::string> old_;
};

// HOME and the XDG folders pointed into one temporary folder, and CODEX_HOME unset so that
// the Codex CLI keeps its files under that HOME.
class TemporaryHome {
public:
    TemporaryHome()
        : home_("HOME", folder("home")), config_("XDG_CONFIG_HOME", folder("config")),
          data_("XDG_DATA_HOME", folder("data")), cache_("XDG_CACHE_HOME", folder("cache")),
          state_("XDG_STATE_HOME", folder("state")), runtime_("XDG_RUNTIME_DIR", folder("runtime")),
          codexHome_("CODEX_HOME", std::nullopt) {}

    std::filesystem::path path() const { return root_.path() / "home"; }

private:
    std::string folder(const std::string& name) {
        std::filesystem::path path = root_.path() / name;
        std::filesystem::create_directories(path);
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path.string();
    }

    TemporaryDirectory root_;
    ScopedEnvironmentVariable home_, config_, data_, cache_, state_, runtime_, codexHome_;
};

} // namespace tarnwick::testing
