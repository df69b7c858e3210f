#include "appserver/CodexExecutableSearch.h"

#include "appserver/AppServerClient.h"
#include "support/TemporaryHome.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

using tarnwick::AppServerClient;
using tarnwick::CodexExecutableSearch;
using tarnwick::testing::ScopedEnvironmentVariable;
using tarnwick::testing::TemporaryDirectory;

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

bool fixedLocationHasCodex() {
    return CodexExecutableSearch::firstExecutable(CodexExecutableSearch::fixedLocations())
        .has_value();
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
        {"fixed folders again", "/usr/local/bin", {"/usr/local/bin/codex"}},
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
    std::string link = (root.path() / "link" / "codex").string();
    fs::create_directories(root.path() / "link");
    fs::create_symlink(runnable, link);
    std::string dangling = (root.path() / "dangling" / "codex").string();
    fs::create_directories(root.path() / "dangling");
    fs::create_symlink(root.path() / "missing", dangling);
    std::string missing = (root.path() / "missing" / "codex").string();
    std::string folder = (root.path() / "folder" / "codex").string();

    // A file that is not executable is passed over in favour of a later one that is.
    EXPECT_EQ(CodexExecutableSearch::firstExecutable({plain, runnable, later}), runnable);
    EXPECT_EQ(CodexExecutableSearch::firstExecutable({missing, dangling, folder, later}), later);
    EXPECT_EQ(CodexExecutableSearch::firstExecutable({link, later}), link);
    EXPECT_EQ(CodexExecutableSearch::firstExecutable({later, later}), later);
    EXPECT_EQ(CodexExecutableSearch::firstExecutable({plain, missing, folder, dangling}),
              std::nullopt);
    EXPECT_EQ(CodexExecutableSearch::firstExecutable({}), std::nullopt);
}

TEST(CodexExecutableSearch, FindCodexExecutableSearchesThePathOfTheEnvironment) {
    if (fixedLocationHasCodex()) {
        GTEST_SKIP() << "a codex in /opt/homebrew/bin or /usr/local/bin comes before PATH here";
    }
    TemporaryDirectory root;
    makeFile(root.path() / "first", fs::perms::owner_read);
    std::string second = makeFile(root.path() / "second", fs::perms::owner_all);
    std::string third = makeFile(root.path() / "third", fs::perms::owner_all);
    std::string path = ":" + (root.path() / "empty").string() + ":" +
                       (root.path() / "first").string() + "::" + (root.path() / "second").string() +
                       ":" + (root.path() / "third").string() + ":";
    {
        ScopedEnvironmentVariable setPath("PATH", path);
        EXPECT_EQ(AppServerClient::findCodexExecutable(), second);
    }
    {
        ScopedEnvironmentVariable setPath("PATH", (root.path() / "first").string());
        EXPECT_EQ(AppServerClient::findCodexExecutable(), std::nullopt);
    }
    {
        ScopedEnvironmentVariable noPath("PATH", std::nullopt);
        EXPECT_EQ(AppServerClient::findCodexExecutable(), std::nullopt);
    }
}
