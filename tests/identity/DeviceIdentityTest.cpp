#include "IdentityFixture.h"
#include "identity/Base64.h"
#include "identity/P256SigningKey.h"

#include <gtest/gtest.h>

#include <regex>

using tarnwick::DeviceIdentity;
using tarnwick::KeychainError;
using tarnwick::P256SigningKey;

namespace {

constexpr const char* keyAccount = "device-signing-key";
constexpr const char* idKey = "TarnwickDeviceID";

using DeviceIdentityTest = tarnwick::testing::IdentityFixture;

TEST_F(DeviceIdentityTest, FirstLaunchMakesAndKeepsAKeyAndALowerCaseUuid) {
    auto first = makeIdentity();
    ASSERT_TRUE(first);
    EXPECT_TRUE(std::regex_match(
        first->deviceID(),
        std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")))
        << first->deviceID();
    ASSERT_EQ(keychain.items.count(keyAccount), 1u);
    const std::string storedKey = keychain.items[keyAccount];
    EXPECT_EQ(storedKey.size(), 32u);
    EXPECT_EQ(settings().value(idKey).toString().toStdString(), first->deviceID());

    // The stored scalar is the key behind the published public key.
    auto reloaded = P256SigningKey::fromRawRepresentation(storedKey);
    ASSERT_TRUE(reloaded.hasValue());
    EXPECT_EQ(tarnwick::base64Encode(reloaded->publicKeyRawRepresentation()), first->publicKey());
    EXPECT_EQ(first->publicKey().size(), 88u);

    relaunch();
    auto second = makeIdentity();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->deviceID(), first->deviceID());
    EXPECT_EQ(second->publicKey(), first->publicKey());
    EXPECT_EQ(keychain.items[keyAccount], storedKey);
    EXPECT_EQ(keychain.saves, 1);
}

TEST_F(DeviceIdentityTest, AnUnusableStoredKeyFailsAndIsLeftAsItIs) {
    // The order of the P-256 group, the first number that is too large to be a private key.
    const std::string order("\xff\xff\xff\xff\x00\x00\x00\x00\xff\xff\xff\xff\xff\xff\xff\xff"
                            "\xbc\xe6\xfa\xad\xa7\x17\x9e\x84\xf3\xb9\xca\xc2\xfc\x63\x25\x51",
                            32);
    ASSERT_EQ(order.size(), 32u);
    const std::string unusable[] = {
        std::string(31, '\x07'), std::string(33, '\x07'), "",
        std::string(64, '\x07'), std::string(32, '\0'),   order,
        std::string(32, '\xff'),
    };
    for (const auto& stored : unusable) {
        keychain.items[keyAccount] = stored;
        auto identity = DeviceIdentity::create(keychain, settings());
        ASSERT_FALSE(identity.hasValue()) << stored.size() << " bytes";
        EXPECT_FALSE(identity.error().description.empty());
        EXPECT_EQ(keychain.items[keyAccount], stored);
        EXPECT_EQ(keychain.saves, 0);
        EXPECT_FALSE(settings().contains(idKey)) << "the device ID is settled after the key";
    }
    // The largest valid scalar, one below the group order, is a key.
    std::string largest = order;
    largest.back() = '\x50';
    keychain.items[keyAccount] = largest;
    EXPECT_TRUE(makeIdentity());
}

TEST_F(DeviceIdentityTest, AStoredDeviceIdIsTakenAsItStandsAndKeptWhenTheKeyIsGone) {
    for (const char* stored : {"0f0e0d0c-0b0a-4908-8706-050403020100",
                               "0F0E0D0C-0B0A-4908-8706-050403020100", "Not A UUID At All"}) {
        settings().setValue(idKey, stored);
        auto identity = makeIdentity();
        ASSERT_TRUE(identity);
        EXPECT_EQ(identity->deviceID(), stored);
    }
    EXPECT_EQ(keychain.items[keyAccount].size(), 32u);
}

TEST_F(DeviceIdentityTest, KeychainRefusalsFailConstructionWithTheirDescription) {
    keychain.readFailure = KeychainError::fromStatus(-25308);
    auto unreadable = DeviceIdentity::create(keychain, settings());
    ASSERT_FALSE(unreadable.hasValue());
    EXPECT_EQ(unreadable.error().description, "Keychain error -25308");
    EXPECT_EQ(keychain.saves, 0);

    keychain.readFailure.reset();
    keychain.saveFailure = KeychainError::fromStatus(13, "Permission denied");
    auto unsaved = DeviceIdentity::create(keychain, settings());
    ASSERT_FALSE(unsaved.hasValue());
    EXPECT_EQ(unsaved.error().description, "Permission denied");
    EXPECT_TRUE(keychain.items.empty());
    EXPECT_FALSE(settings().contains(idKey));

    // The next launch starts over and succeeds once the keychain takes the key.
    keychain.saveFailure.reset();
    EXPECT_TRUE(makeIdentity());
    EXPECT_EQ(keychain.items.count(keyAccount), 1u);
}

TEST_F(DeviceIdentityTest, EveryHelloHasAFreshNonceAndVerifies) {
    auto identity = makeIdentity();
    ASSERT_TRUE(identity);
    auto first = identity->makeHello("Studio");
    auto second = identity->makeHello("Studio");
    ASSERT_TRUE(first.hasValue());
    ASSERT_TRUE(second.hasValue());
    EXPECT_NE(first->nonce, second->nonce);
    // The signature's form is checked by an independent verifier in HelloInteropTest.
    for (const auto& hello : {*first, *second}) {
        EXPECT_EQ(hello.deviceID, identity->deviceID());
        EXPECT_EQ(hello.publicKey, identity->publicKey());
        EXPECT_EQ(tarnwick::base64Decode(hello.nonce)->size(), 24u);
        EXPECT_TRUE(hello.verify());
    }
}

} // namespace
