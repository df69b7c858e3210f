// The stores that keep items in files or memory: the contract every keychain store keeps, then
// what only the file store and the moving store do. The Secret Service store keeps the same
// contract in SessionKeychainTest, against a real Secret Service.
#include "KeychainContract.h"
#include "NumberedItem.h"
#include "ScopedEnvironment.h"
#include "identity/FileKeychain.h"
#include "identity/KeychainChooser.h"
#include "identity/MigratingKeychain.h"
#include "support/MemoryKeychain.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <thread>

using tarnwick::FileKeychain;
using tarnwick::KeychainError;
using tarnwick::KeychainStore;
using tarnwick::MigratingKeychain;
using tarnwick::testing::MemoryKeychain;
using tarnwick::testing::ScopedEnvironment;
namespace fs = std::filesystem;

namespace tarnwick::testing {

// Each store opened anew over the same folders, as a relaunch opens it.
struct FileStore {
    KeychainStore& open(const std::string& service) {
        return *opened.emplace_back(std::make_unique<FileKeychain>(service, path("files")));
    }
    std::string path(const char* name) const { return (folder.path() + "/" + name).toStdString(); }
    QTemporaryDir folder;
    std::vector<std::unique_ptr<KeychainStore>> opened;
};

// The moving store, with a file store standing for the Secret Service it moves items into.
struct MigratingStore : FileStore {
    KeychainStore& open(const std::string& service) {
        return *opened.emplace_back(std::make_unique<MigratingKeychain>(
            std::make_unique<FileKeychain>(service, path("current")),
            std::make_unique<FileKeychain>(service, path("files"))));
    }
};

// The store the other tests stand in for a real one with: it must keep the same contract.
struct MemoryStore {
    KeychainStore& open(const std::string& service) { return items[service]; }
    std::map<std::string, MemoryKeychain> items;
};

using Stores = ::testing::Types<FileStore, MigratingStore, MemoryStore>;
INSTANTIATE_TYPED_TEST_SUITE_P(Local, KeychainContract, Stores);

} // namespace tarnwick::testing

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

TEST_F(FileKeychainTest, AnItemIsOnePrivateFileInOwnerOnlyFoldersWhateverTheUmask) {
    mode_t old = ::umask(0);
    auto saved = keychain.save("secret", "device-signing-key");
    ::umask(old);
    ASSERT_TRUE(saved.hasValue());
    ASSERT_TRUE(keychain.save("xyz", "device-signing-key").hasValue());
    EXPECT_EQ(mode(root()), 0700u);
    EXPECT_EQ(mode(root() / service), 0700u);
    EXPECT_EQ(mode(item("device-signing-key")), 0600u);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(root() / service)) {
        names.push_back(entry.path().filename());
    }
    EXPECT_EQ(names, std::vector<std::string>{"device-signing-key"});
    std::ifstream file(item("device-signing-key"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "xyz");
}

// A file where the store's folder should be, or a folder where an item should be: failures
// with the errno and its text, never an absent item.
TEST_F(FileKeychainTest, FailuresCarryTheErrnoAndItsTextAndAreNeverAnAbsentItem) {
    const std::pair<std::function<void()>, int> cases[] = {
        {[&] { std::ofstream(root().string()) << "in the way"; }, ENOTDIR},
        {[&] { fs::create_directories(item("item")); }, EISDIR},
    };
    for (const auto& [spoil, status] : cases) {
        fs::remove_all(root());
        spoil();
        auto read = keychain.read("item");
        ASSERT_FALSE(read.hasValue()) << status;
        EXPECT_EQ(read.error().status, status);
        EXPECT_EQ(read.error().description, std::strerror(status));
        EXPECT_FALSE(keychain.save("abc", "item").hasValue()) << status;
    }
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

// The Secret Service side is stood in for by a keychain in memory, to force its failures; the
// move against a real Secret Service is tested in SessionKeychainTest.
class MigratingKeychainTest : public ::testing::Test {
protected:
    MigratingKeychainTest() {
        auto current = std::make_unique<MemoryKeychain>();
        secrets = current.get();
        auto earlier =
            std::make_unique<FileKeychain>("app.tarnwick.bridge", folder.path().toStdString());
        files = earlier.get();
        keychain = std::make_unique<MigratingKeychain>(std::move(current), std::move(earlier));
        EXPECT_TRUE(files->save("earlier", "item").hasValue());
    }

    QTemporaryDir folder;
    MemoryKeychain* secrets = nullptr;
    FileKeychain* files = nullptr;
    std::unique_ptr<MigratingKeychain> keychain;
};

TEST_F(MigratingKeychainTest, AnItemThatCannotBeMovedIsStillReadAndItsFileKept) {
    secrets->saveFailure =
        KeychainError::fromStatus(2, "Cannot create an item in a locked collection");
    auto read = keychain->read("item");
    ASSERT_TRUE(read.hasValue());
    EXPECT_EQ(*read, "earlier");
    EXPECT_EQ(*files->read("item"), "earlier");
    // The move that succeeds is tested against a real Secret Service in SessionKeychainTest.
}

TEST_F(MigratingKeychainTest, FailuresOfEitherStoreAreReportedAndTheFileKept) {
    // A failing Secret Service is reported without a look at the files.
    secrets->readFailure =
        KeychainError::fromStatus(2, "The keyring that holds the item is locked.");
    auto read = keychain->read("item");
    ASSERT_FALSE(read.hasValue());
    EXPECT_EQ(read.error().description, "The keyring that holds the item is locked.");
    secrets->readFailure.reset();

    secrets->saveFailure = KeychainError::fromStatus(-1, "");
    EXPECT_FALSE(keychain->save("new", "item").hasValue());
    EXPECT_EQ(*files->read("item"), "earlier");

    // An unreadable file is a failure, not an absent item.
    std::filesystem::create_directories(files->folder() / "other");
    auto unreadable = keychain->read("other");
    ASSERT_FALSE(unreadable.hasValue());
    EXPECT_EQ(unreadable.error().status, EISDIR);
}

} // namespace
