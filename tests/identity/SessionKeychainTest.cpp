// Keychain tests against a real session bus, run by run-in-session.sh: each suite belongs to one
// of its modes and the program runs only the suite of the mode it was started in, so that it
// never reaches the developer's own session or keyring.
#include "KeychainContract.h"
#include "identity/DeviceIdentity.h"
#include "identity/FileKeychain.h"
#include "identity/KeychainChooser.h"
#include "identity/SecretServiceKeychain.h"
#include "identity/TrustStore.h"
#include "identity/UserDefaults.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <cstdlib>
#include <filesystem>
#include <map>

using tarnwick::FileKeychain;
using tarnwick::KeychainStore;
using tarnwick::SecretServiceKeychain;
namespace fs = std::filesystem;

// The contract every keychain store keeps, run over the Secret Service in the keyring mode.
namespace tarnwick::testing {

struct SecretServiceStore {
    KeychainStore& open(const std::string& service) {
        return *opened.emplace_back(std::make_unique<SecretServiceKeychain>(service));
    }
    std::vector<std::unique_ptr<KeychainStore>> opened;
};
INSTANTIATE_TYPED_TEST_SUITE_P(WithKeyring, KeychainContract, SecretServiceStore);
} // namespace tarnwick::testing

namespace {

constexpr const char* service = "app.tarnwick.bridge";

fs::path environmentPath(const char* name) {
    const char* value = std::getenv(name);
    return value ? fs::path(value) : fs::path();
}

fs::path fileItem(const std::string& account, const std::string& itemService = service) {
    return environmentPath("XDG_DATA_HOME") / "tarnwick-bridge" / "keychain" / itemService /
           account;
}

std::optional<std::string> readBack(KeychainStore& keychain, std::string_view account) {
    auto read = keychain.read(account);
    EXPECT_TRUE(read.hasValue()) << (read ? "" : read.error().description);
    return read ? *read : std::nullopt;
}

// Saves through the keychain that the chooser picks and checks where the item landed.
void expectChooserPicks(bool secretService) {
    EXPECT_EQ(tarnwick::secretServiceAvailable(), secretService);
    auto keychain = tarnwick::openKeychain(service);
    EXPECT_EQ(readBack(*keychain, "chosen"), std::nullopt);
    ASSERT_TRUE(keychain->save("abc", "chosen").hasValue());
    EXPECT_EQ(readBack(*keychain, "chosen"), "abc");
    EXPECT_EQ(fs::exists(fileItem("chosen")), !secretService);
}

// What the Secret Service itself holds under an account, looked up without our classes.
struct StoredItem {
    std::string label;
    std::string schema;
    std::string secret;
};

std::vector<StoredItem> itemsInService(const std::string& itemService, const std::string& account) {
    GError* error = nullptr;
    SecretService* secrets = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
    EXPECT_TRUE(secrets) << (error ? error->message : "");
    g_clear_error(&error);
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attributes, const_cast<char*>("service"),
                        const_cast<char*>(itemService.c_str()));
    g_hash_table_insert(attributes, const_cast<char*>("account"),
                        const_cast<char*>(account.c_str()));
    auto flags = static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS |
                                                SECRET_SEARCH_UNLOCK);
    GList* found = secret_service_search_sync(secrets, nullptr, attributes, flags, nullptr, &error);
    EXPECT_FALSE(error) << (error ? error->message : "");
    g_clear_error(&error);
    std::vector<StoredItem> items;
    for (GList* entry = found; entry; entry = entry->next) {
        SecretItem* item = SECRET_ITEM(entry->data);
        StoredItem stored;
        gchar* label = secret_item_get_label(item);
        stored.label = label;
        g_free(label);
        GHashTable* itemAttributes = secret_item_get_attributes(item);
        auto* schema = static_cast<const char*>(g_hash_table_lookup(itemAttributes, "xdg:schema"));
        stored.schema = schema ? schema : "";
        g_hash_table_unref(itemAttributes);
        if (SecretValue* secret = secret_item_get_secret(item)) {
            gsize length = 0;
            const gchar* bytes = secret_value_get(secret, &length);
            stored.secret.assign(bytes, length);
            secret_value_unref(secret);
        }
        items.push_back(std::move(stored));
    }
    g_list_free_full(found, g_object_unref);
    g_hash_table_unref(attributes);
    g_object_unref(secrets);
    return items;
}

// ---- A GNOME Keyring with an unlocked login collection --------------------------------------

TEST(WithKeyring, TheChooserTakesTheSecretServiceAndWritesNoFiles) {
    expectChooserPicks(true);
    auto items = itemsInService(service, "chosen");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].label, "Tarnwick Bridge chosen");
    EXPECT_EQ(items[0].secret, "abc");
    EXPECT_EQ(items[0].schema, service);
    // A second save replaces the one item.
    ASSERT_TRUE(SecretServiceKeychain(service).save("xyz", "chosen").hasValue());
    items = itemsInService(service, "chosen");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].secret, "xyz");
}

TEST(WithKeyring, FileItemsMoveAsTheyAreReadAndNeverOverTheSecretServicesOwn) {
    QTemporaryDir root;
    FileKeychain files(service, root.path().toStdString());
    SecretServiceKeychain secrets(service);
    ASSERT_TRUE(files.save("stored earlier", "moved").hasValue());
    ASSERT_TRUE(files.save("kept in files", "untouched").hasValue());
    ASSERT_TRUE(secrets.save("current", "both").hasValue());
    ASSERT_TRUE(files.save("stale", "both").hasValue());

    auto keychain = tarnwick::openKeychain(service, root.path().toStdString(), true);
    EXPECT_EQ(readBack(*keychain, "moved"), "stored earlier");
    EXPECT_EQ(readBack(files, "moved"), std::nullopt) << "the file is removed once moved";
    EXPECT_EQ(readBack(secrets, "moved"), "stored earlier");
    EXPECT_EQ(readBack(files, "untouched"), "kept in files") << "only what is read moves";
    EXPECT_EQ(readBack(*keychain, "both"), "current");
    ASSERT_TRUE(keychain->save("newer", "both").hasValue());
    EXPECT_EQ(readBack(files, "both"), std::nullopt) << "a save leaves no stale copy behind";
    EXPECT_EQ(readBack(secrets, "both"), "newer");
}

// The identity over the real keychain and user defaults. What it keeps is checked over a
// stand-in keychain in DeviceIdentityTest; the trust store's item is bytes like any other.
TEST(WithKeyring, TheIdentitySurvivesARelaunch) {
    auto settings = tarnwick::openUserDefaults();
    EXPECT_EQ(fs::path(settings->fileName().toStdString()),
              environmentPath("XDG_CONFIG_HOME") / "tarnwick" / "tarnwick-bridge.conf");
    auto keychain = tarnwick::openKeychain(service);
    auto identity = tarnwick::DeviceIdentity::create(*keychain, *settings);
    ASSERT_TRUE(identity.hasValue()) << identity.error().description;
    const std::string publicKey = (*identity)->publicKey();

    // Relaunched: both opened anew once the first ones are gone.
    identity->reset();
    settings.reset();
    keychain.reset();
    settings = tarnwick::openUserDefaults();
    keychain = tarnwick::openKeychain(service);
    auto relaunched = tarnwick::DeviceIdentity::create(*keychain, *settings);
    ASSERT_TRUE(relaunched.hasValue());
    EXPECT_EQ((*relaunched)->publicKey(), publicKey);
    EXPECT_EQ(itemsInService(service, "device-signing-key").at(0).secret.size(), 32u);
}

// ---- The same keyring, locked: nothing may pass for a missing item --------------------------

TEST(LockedKeyring, ALockedItemIsAFailureNotAnAbsentItem) {
    SecretServiceKeychain keychain(service);
    ASSERT_TRUE(keychain.save("locked away", "trusted-peers-v1").hasValue());
    auto settings = tarnwick::openUserDefaults();
    ASSERT_TRUE(tarnwick::DeviceIdentity::create(keychain, *settings).hasValue());

    GError* error = nullptr;
    SecretService* secrets = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
    ASSERT_TRUE(secrets);
    SecretCollection* collection = secret_collection_for_alias_sync(
        secrets, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
    ASSERT_TRUE(collection) << (error ? error->message : "");
    GList* objects = g_list_append(nullptr, collection);
    EXPECT_EQ(secret_service_lock_sync(secrets, objects, nullptr, nullptr, &error), 1)
        << (error ? error->message : "");
    g_clear_error(&error);
    g_list_free(objects);
    g_object_unref(collection);
    g_object_unref(secrets);

    // Unlocking needs a prompt, and this session has no prompter: the items stay locked.
    auto read = keychain.read("trusted-peers-v1");
    ASSERT_FALSE(read.hasValue()) << "read gave " << (read->has_value() ? "bytes" : "absent");
    EXPECT_NE(read.error().status, 0);
    EXPECT_FALSE(read.error().description.empty());

    // So the trust store starts empty without writing, and the identity fails instead of making
    // a new key over the one it cannot read.
    EXPECT_TRUE(tarnwick::TrustStore(keychain).peers().empty());
    auto identity = tarnwick::DeviceIdentity::create(keychain, *settings);
    ASSERT_FALSE(identity.hasValue());
    EXPECT_EQ(identity.error().description, read.error().description);
}

// ---- No Secret Service running, but the bus can start one -----------------------------------

TEST(ActivatableKeyring, TheBusStartsTheSecretServiceOnFirstUse) {
    expectChooserPicks(true);
}

// ---- A bus without any Secret Service ------------------------------------------------------

TEST(BusWithoutSecretService, TheChooserTakesTheFileStore) {
    expectChooserPicks(false);
}

TEST(BusWithoutSecretService, SecretServiceFailuresCarryTheLibrarysMessage) {
    SecretServiceKeychain keychain(service);
    auto saved = keychain.save("abc", "nowhere");
    ASSERT_FALSE(saved.hasValue());
    EXPECT_NE(saved.error().status, 0);
    EXPECT_NE(saved.error().description.find("org.freedesktop.secrets"), std::string::npos)
        << saved.error().description;
    auto read = keychain.read("nowhere");
    ASSERT_FALSE(read.hasValue());
    EXPECT_NE(read.error().status, 0);
    EXPECT_FALSE(read.error().description.empty());
}

// ---- No session bus at all ------------------------------------------------------------------

TEST(NoSessionBus, TheChooserTakesTheFileStore) {
    expectChooserPicks(false);
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const std::map<std::string, std::string> suites = {
        {"keyring", "WithKeyring.*:WithKeyring/*"},
        {"locked", "LockedKeyring.*"},
        {"activatable", "ActivatableKeyring.*"},
        {"bare", "BusWithoutSecretService.*"},
        {"none", "NoSessionBus.*"},
    };
    const char* mode = std::getenv("TARNWICK_TEST_SESSION");
    auto suite = mode ? suites.find(mode) : suites.end();
    if (suite == suites.end()) {
        std::fprintf(stderr, "Run this through tests/identity/run-in-session.sh, which sets "
                             "TARNWICK_TEST_SESSION; it never touches your own keyring.\n");
        return 1;
    }
    ::testing::GTEST_FLAG(filter) = suite->second;
    return RUN_ALL_TESTS();
}
