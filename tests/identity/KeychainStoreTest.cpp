#include "identity/FileKeychain.h"

#include "NumberedItem.h"
#include "ScopedEnvironment.h"
#include "identity/KeychainChooser.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

using tarnwick::FileKeychain;
using tarnwick::testing::ScopedEnvironment;
namespace fs = std::filesystem;

namespace {

constexpr const char* service = "app.tarnwick.bridge";

class FileKeychainTest : public ::testing::Test {
protected:
    fs::path root() const { return fs::path(folder.path().toStdString()) / "keychain"; }
    fs::path item(const std::string& account) const { return root() / service / account; }

    std::optional<std::string> readBack(FileKeychain& store, std::string_view account) {
        auto read = store.read(account);
        EXPECT_TRUE(read.hasValue()) << (read ? "" : read.error().description);
        return read ? *read : std::nullopt;
    }

    unsigned mode(const fs::path& path) const {
        struct stat info = {};
        EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
        return info.st_mode & 07777;
    }

    QTemporaryDir folder;
    FileKeychain keychain{service, root()};
};

TEST_F(FileKeychainTest, AnItemNeverSavedIsAbsentWhetherOrNotTheFolderExists) {
    EXPECT_EQ(readBack(keychain, "device-signing-key"), std::nullopt);
    ASSERT_TRUE(keychain.save("x", "other").hasValue());
    EXPECT_EQ(readBack(keychain, "device-signing-key"), std::nullopt);
}

TEST_F(FileKeychainTest, ASecondSaveReplacesTheBytesAndLeavesOneFile) {
    ASSERT_TRUE(keychain.save("abc", "trusted-peers-v1").hasValue());
    ASSERT_TRUE(keychain.save("xyz", "trusted-peers-v1").hasValue());
    EXPECT_EQ(readBack(keychain, "trusted-peers-v1"), "xyz");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(root() / service)) {
        names.push_back(entry.path().filename());
    }
    EXPECT_EQ(names, std::vector<std::string>{"trusted-peers-v1"});
    std::ifstream file(item("trusted-peers-v1"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "xyz");
}

TEST_F(FileKeychainTest, AccountsAndServicesKeepTheirOwnItems) {
    FileKeychain device("app.tarnwick.device", root());
    ASSERT_TRUE(keychain.save("one", "a").hasValue());
    ASSERT_TRUE(keychain.save("two", "b").hasValue());
    ASSERT_TRUE(device.save("three", "a").hasValue());
    ASSERT_TRUE(keychain.save("four", "b").hasValue());
    EXPECT_EQ(readBack(keychain, "a"), "one");
    EXPECT_EQ(readBack(keychain, "b"), "four");
    EXPECT_EQ(readBack(device, "a"), "three");
    EXPECT_EQ(readBack(device, "b"), std::nullopt);
}

TEST_F(FileKeychainTest, BytesRoundTripExactly) {
    std::string everyByte;
    for (int i = 0; i < 256; ++i) {
        everyByte += static_cast<char>(i);
    }
    const std::string values[] = {"", std::string(1, '\0'), everyByte, std::string(3 << 20, 'q')};
    for (const auto& value : values) {
        ASSERT_TRUE(keychain.save(value, "item").hasValue());
        EXPECT_EQ(readBack(keychain, "item"), value) << value.size() << " bytes";
    }
}

TEST_F(FileKeychainTest, FoldersAreOwnerOnlyAndItemsPrivateWhateverTheUmask) {
    mode_t old = ::umask(0);
    auto saved = keychain.save("secret", "device-signing-key");
    ::umask(old);
    ASSERT_TRUE(saved.hasValue());
    EXPECT_EQ(mode(root()), 0700u);
    EXPECT_EQ(mode(root() / service), 0700u);
    EXPECT_EQ(mode(item("device-signing-key")), 0600u);
}

TEST_F(FileKeychainTest, FailuresCarryTheErrnoAndItsText) {
    // A file where the store's folder should be.
    std::ofstream(root().string()) << "in the way";
    auto saved = keychain.save("abc", "item");
    ASSERT_FALSE(saved.hasValue());
    EXPECT_EQ(saved.error().status, ENOTDIR);
    EXPECT_EQ(saved.error().description, std::strerror(ENOTDIR));
    auto read = keychain.read("item");
    ASSERT_FALSE(read.hasValue());
    EXPECT_EQ(read.error().status, ENOTDIR);
}

TEST_F(FileKeychainTest, AFolderWhereAnItemShouldBeIsAFailureNotAnAbsentItem) {
    fs::create_directories(item("item"));
    auto read = keychain.read("item");
    ASSERT_FALSE(read.hasValue());
    EXPECT_EQ(read.error().status, EISDIR);
    EXPECT_EQ(read.error().description, std::strerror(EISDIR));
    EXPECT_FALSE(keychain.save("abc", "item").hasValue());
}

TEST_F(FileKeychainTest, NamesThatWouldLeaveTheFolderAreRefused) {
    for (const char* account : {"", ".", "..", "../escape", "a/b", ".hidden"}) {
        auto saved = keychain.save("abc", account);
        ASSERT_FALSE(saved.hasValue()) << account;
        EXPECT_EQ(saved.error().status, EINVAL);
        EXPECT_FALSE(keychain.read(account).hasValue()) << account;
    }
    EXPECT_FALSE(FileKeychain("..", root()).save("abc", "item").hasValue());
    EXPECT_FALSE(fs::exists(fs::path(folder.path().toStdString()) / "escape"));
}

TEST_F(FileKeychainTest, RemoveDeletesTheItemAndAcceptsAMissingOne) {
    ASSERT_TRUE(keychain.save("abc", "item").hasValue());
    ASSERT_TRUE(keychain.remove("item").hasValue());
    EXPECT_EQ(readBack(keychain, "item"), std::nullopt);
    EXPECT_TRUE(keychain.remove("item").hasValue());
}

TEST(KeychainRoot, FollowsXdgDataHomeAndFallsBackToTheHomeFolder) {
    ScopedEnvironment environment;
    environment.set("HOME", "/home/someone");
    environment.set("XDG_DATA_HOME", "/data/elsewhere");
    EXPECT_EQ(tarnwick::defaultKeychainRoot(), "/data/elsewhere/tarnwick-bridge/keychain");
    for (std::optional<std::string> unusable :
         {std::optional<std::string>(), {""}, {"relative/data"}}) {
        environment.set("XDG_DATA_HOME", unusable);
        EXPECT_EQ(tarnwick::defaultKeychainRoot(),
                  "/home/someone/.local/share/tarnwick-bridge/keychain");
    }
}

// A writer that is killed at any moment leaves the item as one of the values it wrote.
TEST_F(FileKeychainTest, AKilledWriterLeavesAWholeValue) {
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> pause(0, 4000);
    std::uint64_t next = 0;
    for (int round = 0; round < 30; ++round) {
        QProcess writer;
        writer.start(TARNWICK_KEYCHAIN_WRITER, {QString::fromStdString(root().string()), service,
                                                "item", QString::number(next)});
        // Generous waits for a loaded machine; the test asserts nothing about time.
        while (!writer.canReadLine() && writer.waitForReadyRead(60000)) {
        }
        ASSERT_EQ(writer.readLine(), "saved\n") << "round " << round;
        std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
        writer.kill();
        ASSERT_TRUE(writer.waitForFinished(60000));

        auto value = readBack(keychain, "item");
        ASSERT_TRUE(value) << "round " << round;
        auto number = tarnwick::testing::numberOfItem(*value);
        ASSERT_TRUE(number) << "round " << round << ": a value no save wrote (" << value->size()
                            << " bytes)";
        EXPECT_GE(*number, next) << "round " << round << ": an older round's value came back";
        // Far beyond anything the killed writer reached, so every round's values are its own.
        next = *number + 1000000;
    }
}

} // namespace
