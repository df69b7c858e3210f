#include "identity/MigratingKeychain.h"

#include "support/MemoryKeychain.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>

using tarnwick::FileKeychain;
using tarnwick::KeychainError;
using tarnwick::MigratingKeychain;
using tarnwick::testing::MemoryKeychain;

namespace {

// The Secret Service side is stood in for by a keychain in memory, to force its failures;
// the move against a real Secret Service is tested in SessionKeychainTest.
class MigratingKeychainTest : public ::testing::Test {
protected:
    MigratingKeychainTest() {
        auto current = std::make_unique<MemoryKeychain>();
        secrets = current.get();
        auto earlier =
            std::make_unique<FileKeychain>("app.tarnwick.bridge", folder.path().toStdString());
        files = earlier.get();
        keychain = std::make_unique<MigratingKeychain>(std::move(current), std::move(earlier));
    }

    QTemporaryDir folder;
    MemoryKeychain* secrets = nullptr;
    FileKeychain* files = nullptr;
    std::unique_ptr<MigratingKeychain> keychain;
};

TEST_F(MigratingKeychainTest, AnItemThatCannotBeMovedIsStillReadAndItsFileKept) {
    ASSERT_TRUE(files->save("earlier", "item").hasValue());
    secrets->saveFailure =
        KeychainError::fromStatus(2, "Cannot create an item in a locked collection");
    auto read = keychain->read("item");
    ASSERT_TRUE(read.hasValue());
    EXPECT_EQ(*read, "earlier");
    EXPECT_EQ(*files->read("item"), "earlier");

    secrets->saveFailure.reset();
    EXPECT_EQ(*keychain->read("item"), "earlier");
    EXPECT_EQ(secrets->items["item"], "earlier");
    EXPECT_FALSE(files->read("item")->has_value());
}

TEST_F(MigratingKeychainTest, AFailingSecretServiceIsReportedWithoutLookingAtFiles) {
    ASSERT_TRUE(files->save("earlier", "item").hasValue());
    secrets->readFailure =
        KeychainError::fromStatus(2, "The keyring that holds the item is locked.");
    auto read = keychain->read("item");
    ASSERT_FALSE(read.hasValue());
    EXPECT_EQ(read.error().description, "The keyring that holds the item is locked.");
    EXPECT_EQ(*files->read("item"), "earlier");
}

TEST_F(MigratingKeychainTest, AnUnreadableFileIsAFailureNotAnAbsentItem) {
    std::filesystem::create_directories(files->folder() / "item");
    auto read = keychain->read("item");
    ASSERT_FALSE(read.hasValue());
    EXPECT_EQ(read.error().status, EISDIR);
}

TEST_F(MigratingKeychainTest, AFailedSaveLeavesTheFileInPlace) {
    ASSERT_TRUE(files->save("earlier", "item").hasValue());
    secrets->saveFailure = KeychainError::fromStatus(-1, "");
    EXPECT_FALSE(keychain->save("new", "item").hasValue());
    EXPECT_EQ(*files->read("item"), "earlier");
}

} // namespace
