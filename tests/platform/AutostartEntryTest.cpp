#include "platform/AutostartEntry.h"

#include "platform/SystemHostName.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using tarnwick::AutostartEntry;
using tarnwick::SystemHostName;

namespace {

class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~TemporaryFolder() { std::filesystem::remove_all(path); }
    std::filesystem::path path;
};

std::string contents(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace

TEST(AutostartEntry, RegisterWritesAnEntryThatUnregisterRemoves) {
    TemporaryFolder home;
    const auto entry = home.path / "config/autostart/tarnwick-bridge.desktop";
    AutostartEntry autostart(entry.string(), "/opt/tarnwick/bin/tarnwick-bridge");
    EXPECT_EQ(autostart.status(), 0);
    ASSERT_TRUE(autostart.registerApplication().hasValue());
    EXPECT_EQ(autostart.status(), AutostartEntry::enabled);
    const std::string text = contents(entry);
    EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(text.find("\nExec=\"/opt/tarnwick/bin/tarnwick-bridge\"\n"), std::string::npos);
    EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
    // Registering again replaces the entry; no temporary file is left beside it.
    ASSERT_TRUE(autostart.registerApplication().hasValue());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(entry.parent_path()),
                            std::filesystem::directory_iterator()),
              1);

    ASSERT_TRUE(autostart.unregisterApplication().hasValue());
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_EQ(autostart.status(), 0);
    EXPECT_TRUE(autostart.unregisterApplication().hasValue()); // already gone is success

    std::ofstream(entry) << "[Desktop Entry]\nType=Application\nExec=x\nHidden=true\n";
    EXPECT_EQ(autostart.status(), 0) << "a hidden entry is not enabled";
}

TEST(AutostartEntry, FailuresCarryTheSystemsText) {
    TemporaryFolder home;
    std::ofstream(home.path / "file") << "not a folder";
    AutostartEntry autostart((home.path / "file/autostart/tarnwick-bridge.desktop").string(), "/x");
    auto registered = autostart.registerApplication();
    ASSERT_FALSE(registered.hasValue());
    EXPECT_EQ(registered.error().description, "Not a directory");
    EXPECT_EQ(autostart.status(), 0);
}

TEST(AutostartEntry, ExecQuotesReservedCharacters) {
    const std::pair<const char*, const char*> cases[] = {
        {"/home/a b/bridge", "Exec=\"/home/a b/bridge\""},
        {"/x/$HOME", "Exec=\"/x/\\\\$HOME\""},
        {"/x/say \"hi\"", "Exec=\"/x/say \\\\\"hi\\\\\"\""},
        {"/x/back\\slash", "Exec=\"/x/back\\\\\\\\slash\""},
        {"/x/100%", "Exec=\"/x/100%%\""},
        {"/x/`tick`", "Exec=\"/x/\\\\`tick\\\\`\""},
    };
    for (auto [path, line] : cases) {
        EXPECT_NE(AutostartEntry::entryText(path).find(std::string("\n") + line + "\n"),
                  std::string::npos)
            << path;
    }
}

TEST(AutostartEntry, DefaultPathFollowsXdgConfigHome) {
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    std::string savedValue = saved ? saved : "";
    ::setenv("XDG_CONFIG_HOME", "/tmp/tarnwick-config", 1);
    EXPECT_EQ(AutostartEntry::defaultEntryPath(),
              "/tmp/tarnwick-config/autostart/tarnwick-bridge.desktop");
    if (saved) {
        ::setenv("XDG_CONFIG_HOME", savedValue.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
}

TEST(SystemHostName, PrefersThePrettyHostName) {
    EXPECT_EQ(SystemHostName::prettyHostName("PRETTY_HOSTNAME=\"Ann's Laptop\"\nCHASSIS=laptop\n"),
              "Ann's Laptop");
    EXPECT_EQ(SystemHostName::prettyHostName("PRETTY_HOSTNAME=Studio\n"), "Studio");
    EXPECT_EQ(SystemHostName::prettyHostName("PRETTY_HOSTNAME='Work \"Box\"'\n"), "Work \"Box\"");
    EXPECT_EQ(SystemHostName::prettyHostName("PRETTY_HOSTNAME=\"A \\\"B\\\"\"\n"), "A \"B\"");
    EXPECT_FALSE(SystemHostName::prettyHostName("PRETTY_HOSTNAME=\n"));
    EXPECT_FALSE(SystemHostName::prettyHostName("ICON_NAME=computer\n"));

    TemporaryFolder folder;
    std::ofstream(folder.path / "machine-info") << "PRETTY_HOSTNAME=\"Studio Mac\"\n";
    EXPECT_EQ(SystemHostName((folder.path / "machine-info").string()).localizedName(),
              "Studio Mac");
    // Without machine-info the host name is used.
    auto plain = SystemHostName((folder.path / "missing").string()).localizedName();
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->empty());
}
