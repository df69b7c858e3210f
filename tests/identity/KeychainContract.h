#pragma once

// What every keychain store promises, run over each store. A store type gives
// `KeychainStore& open(const std::string& service)`, which opens the store of `service` anew
// each time (what a relaunch sees); each file that instantiates the suite gives the stores it
// can reach (the Secret Service one only runs inside a private session bus).
#include "identity/KeychainStore.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace tarnwick::testing {

template <class Store>
class KeychainContract : public ::testing::Test {
protected:
    // Accounts of their own per test, since a Secret Service keeps every test's items.
    std::string account(const std::string& name) const {
        return std::string("contract-") +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" + name;
    }
    std::optional<std::string> readBack(KeychainStore& keychain, const std::string& name) {
        auto read = keychain.read(account(name));
        EXPECT_TRUE(read.hasValue()) << (read ? "" : read.error().description);
        return read ? *read : std::nullopt;
    }
    void save(KeychainStore& keychain, const std::string& bytes, const std::string& name) {
        auto saved = keychain.save(bytes, account(name));
        ASSERT_TRUE(saved.hasValue()) << saved.error().description;
    }

    static constexpr const char* service = "app.tarnwick.bridge";
    Store store;
};

TYPED_TEST_SUITE_P(KeychainContract);

TYPED_TEST_P(KeychainContract, AnItemNeverSavedIsAbsentAndASaveElsewhereMakesNone) {
    KeychainStore& keychain = this->store.open(this->service);
    EXPECT_EQ(this->readBack(keychain, "key"), std::nullopt);
    this->save(keychain, "other", "other");
    EXPECT_EQ(this->readBack(keychain, "key"), std::nullopt);
}

TYPED_TEST_P(KeychainContract, TheLatestSaveIsWhatAStoreOpenedAgainReads) {
    KeychainStore& keychain = this->store.open(this->service);
    this->save(keychain, "abc", "item");
    this->save(keychain, "xyz", "item");
    EXPECT_EQ(this->readBack(keychain, "item"), "xyz");
    EXPECT_EQ(this->readBack(this->store.open(this->service), "item"), "xyz");
}

TYPED_TEST_P(KeychainContract, AccountsAndServicesKeepTheirOwnItems) {
    KeychainStore& bridge = this->store.open(this->service);
    KeychainStore& device = this->store.open("app.tarnwick.device");
    this->save(bridge, "one", "a");
    this->save(bridge, "two", "b");
    this->save(device, "three", "a");
    this->save(bridge, "four", "b");
    EXPECT_EQ(this->readBack(bridge, "a"), "one");
    EXPECT_EQ(this->readBack(bridge, "b"), "four");
    EXPECT_EQ(this->readBack(device, "a"), "three");
    EXPECT_EQ(this->readBack(device, "b"), std::nullopt);
}

TYPED_TEST_P(KeychainContract, BytesRoundTripExactly) {
    KeychainStore& keychain = this->store.open(this->service);
    std::string everyByte;
    for (int i = 255; i >= 0; --i) {
        everyByte += static_cast<char>(i);
    }
    for (const std::string& value :
         {everyByte, std::string(1, '\0'), std::string(), std::string(256 * 1024, 'q')}) {
        this->save(keychain, value, "binary");
        EXPECT_EQ(this->readBack(keychain, "binary"), value) << value.size() << " bytes";
    }
}

REGISTER_TYPED_TEST_SUITE_P(KeychainContract, AnItemNeverSavedIsAbsentAndASaveElsewhereMakesNone,
                            TheLatestSaveIsWhatAStoreOpenedAgainReads,
                            AccountsAndServicesKeepTheirOwnItems, BytesRoundTripExactly);

} // namespace tarnwick::testing
