#include "appserver/CodexExecutableSearch.h"

#include "appserver/AppServerClient.h"
#include "support/TemporaryHome.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

using namespace tarnwick;
using namespace tarnwick::testing;

namespace fs = std::filesystem;

namespace {

using Paths = std::vector<std::string>;

const Paths fixed = {"/opt/homebrew/bin/codex", "/usr/local/bin/codex"};

// Makes `folder/codex` with the given permissions.
std::string makeFile(const fs::path& folder, fs::perms permissions) {
    fs::create_directories(folder);
    fs::path file = folder / "codex";
    std::ofstream(file) << "#!/bin/sh\n";
    fs::permissions(file, permissions);
    return file.string();
}

} // namespace

TEST(CodexExecutableSearch, BuildsTheCandidatesFromTheFixedFoldersAndPath) {
    struct Case {
        const char* name;
        std::optional<std::string> path;
        Paths added;
    };
    const Case cases[] = {
        {"no PATH", std::nullopt, {}},
        {"empty PATH", "", {}},
        {"one folder", "/usr/bin", {"/usr/bin/codex"}},
        {"colons at both ends", ":/usr/bin:", {"/usr/bin/codex"}},
        {"empty pieces in between", "/a::/b:::/c", {"/a/codex", "/b/codex", "/c/codex"}},
        {"trailing slash kept as text", "/opt/tools/", {"/opt/tools//codex"}},
        {"relative folder kept", "bin:./x", {"bin/codex", "./x/codex"}},
        {"duplicates kept", "/a:/a", {"/a/codex", "/a/codex"}},
    };
    for (const Case& c : cases) {
        Paths expected = fixed;
        expected.insert(expected.end(), c.added.begin(), c.added.end());
        EXPECT_EQ(CodexExecutableSearch::candidates(c.path), expected) << c.name;
    }
}

TEST(CodexExecutableSearch, TakesTheFirstFileTheUserMayExecute) {
    TemporaryDirectory root;
    std::string plain =
        makeFile(root.path() / "plain", fs::perms::owner_read | fs::perms::owner_write);
    std::string runnable = makeFile(root.path() / "runnable", fs::perms::owner_all);
    std::string later = makeFile(root.path() / "later", fs::perms::owner_all);
    fs::create_directories(root.path() / "folder" / "codex");
    fs::permissions(root.path() / "folder" / "codex", fs::perms::owner_all);
    const auto symlink = [&](const char* name, const fs::path& target) {
        fs::create_directories(root.path() / name);
        fs::create_symlink(target, root.path() / name / "codex");
        return (root.path() / name / "codex").string();
    };
    std::string link = symlink("link", runnable);
    std::string dangling = symlink("dangling", root.path() / "missing");
    std::string missing = (root.path() / "missing" / "codex").string();
    std::string folder = (root.path() / "folder" / "codex").string();

    // A file that is not executable is passed over in favour of a later one that is.
    EXPECT_EQ(CodexExecutableSearch::firstExecutable({plain, runnable, later}), runnable);
    EXPECT_EQ(CodexExecutableSearch::firstExecutable({missing, dangling, folder, later}), later);
    EXPECT_EQ(CodexExecutableSearch::firstExecutable({link, later}), link);
    EXPECT_EQ(CodexExecutableSearch::firstExecutable({plain, missing, folder, dangling}),
              std::nullopt);
    EXPECT_EQ(CodexExecutableSearch::firstExecutable({}), std::nullopt);
}

TEST(CodexExecutableSearch, ReadsThePrefixOfAnNpmrcAndOrdersNodeVersionsByNumber) {
    const std::string home = "/home/ann";
    struct Case {
        const char* npmrc;
        std::optional<std::string> prefix;
    };
    const Case cases[] = {
        {"prefix=/opt/npm\n", "/opt/npm"},
        {"  prefix = /opt/npm  \r\n", "/opt/npm"},
        {"prefix=~/.npm-packages", "/home/ann/.npm-packages"},
        {"prefix=${HOME}/npm\n", "/home/ann/npm"},
        {"prefix=\"/opt/quoted\"\n", "/opt/quoted"},
        {"prefix=/first\nprefix=/second\n", "/second"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CodexExecutableSearch::npmPrefix(c.npmrc, home), c.prefix) << c.npmrc;
    }
    for (const char* npmrc :
         {"", "registry=https://example.org/\n", "# prefix=/commented\n; prefix=/also\n",
          "prefixes=/other\n", "prefix=relative/folder\n", "prefix=~other/npm\n", "prefix=\n"}) {
        EXPECT_EQ(CodexExecutableSearch::npmPrefix(npmrc, home), std::nullopt) << npmrc;
    }

    // Numbers compare as numbers: v10 is newer than v9, v20.11.1 newer than v20.9.0.
    EXPECT_EQ(
        CodexExecutableSearch::newestVersionsFirst(
            {"v9.11.2", "system", "v20.9.0", "v10.0.0", "v20.11.1", "v20.11", "v", "v1.x"}),
        Paths({"v20.11.1", "v20.11", "v20.9.0", "v10.0.0", "v9.11.2", "system", "v", "v1.x"}));
}

// Each place a Linux user's npm, nvm or volta puts codex, all at once under one home; taking
// away the winner each time shows the order in which they are searched.
TEST(CodexExecutableSearch, SearchesTheUsersNpmInstallsAfterPathInAFixedOrder) {
    TemporaryHome temporaryHome;
    const fs::path home = temporaryHome.path();
    TemporaryDirectory elsewhere;
    std::ofstream(home / ".npmrc") << "registry=https://example.org/\nprefix=~/.npm-prefix\n";
    const fs::path pathFolder = elsewhere.path() / "on-path";
    const Paths places = {
        (pathFolder / "codex").string(),
        (home / ".npm-prefix/bin/codex").string(),
        (home / ".npm-global/bin/codex").string(),
        (home / ".nvm/versions/node/v20.11.1/bin/codex").string(),
        (home / ".nvm/versions/node/v20.9.0/bin/codex").string(),
        (home / ".nvm/versions/node/v9.4.0/bin/codex").string(),
        (home / ".volta/bin/codex").string(),
        (home / ".local/bin/codex").string(),
    };
    for (const std::string& place : places) {
        makeFile(fs::path(place).parent_path(), fs::perms::owner_all);
    }
    // Not a version, but listed: after the versions.
    fs::create_directories(home / ".nvm/versions/node/system/bin");

    const Paths order = CodexExecutableSearch::searchOrder(pathFolder.string(), home.string());
    Paths expected = fixed;
    expected.insert(expected.end(), places.begin(), places.end());
    expected.insert(expected.end() - 2, (home / ".nvm/versions/node/system/bin/codex").string());
    expected.push_back("/usr/bin/codex");
    EXPECT_EQ(order, expected);

    if (CodexExecutableSearch::firstExecutable(CodexExecutableSearch::fixedLocations())) {
        GTEST_SKIP() << "a codex in /opt/homebrew/bin or /usr/local/bin comes first here";
    }
    ScopedEnvironmentVariable setPath("PATH", pathFolder.string());
    for (const std::string& place : places) {
        EXPECT_EQ(AppServerClient::findCodexExecutable(), place);
        fs::remove(place);
    }
    // Nothing left under this home: only a system-wide install could still be found.
    EXPECT_EQ(AppServerClient::findCodexExecutable(),
              CodexExecutableSearch::firstExecutable({"/usr/bin/codex"}));
}
