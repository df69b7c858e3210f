#include "identity/TrustStore.h"

#include "support/MemoryKeychain.h"

#include <QDateTime>

#include <gtest/gtest.h>

#include <chrono>
#include <limits>

using tarnwick::HelloPayload;
using tarnwick::KeychainError;
using tarnwick::TrustedPeer;
using tarnwick::TrustStore;
using tarnwick::testing::MemoryKeychain;

namespace {

constexpr const char* account = "trusted-peers-v1";

class TrustStoreTest : public ::testing::Test {
protected:
    TrustStore makeStore() {
        return TrustStore(keychain, [this] { return clock; });
    }
    std::string stored() { return keychain.items[account]; }

    MemoryKeychain keychain;
    double clock = 0;
};

TEST_F(TrustStoreTest, WithoutAnItemOrWithAnUnreadableOneTheStoreIsEmpty) {
    EXPECT_TRUE(makeStore().peers().empty());
    EXPECT_FALSE(makeStore().lookupPeer(""));
    keychain.items[account] =
        R"({"d1":{"deviceID":"d1","displayName":"A","publicKey":"P","pairedAt":1}})";
    keychain.readFailure = KeychainError::fromStatus(-25293);
    EXPECT_TRUE(makeStore().peers().empty());
    EXPECT_EQ(keychain.saves, 0);
}

TEST_F(TrustStoreTest, StoresTheWholeMapInItsOwnForm) {
    TrustStore store = makeStore();
    ASSERT_TRUE(store.trust(HelloPayload{"d1", "Phone", "P", "nonce", "signature"}).hasValue());
    EXPECT_EQ(stored(),
              R"({"d1":{"deviceID":"d1","displayName":"Phone","pairedAt":0,"publicKey":"P"}})");
    EXPECT_EQ(store.lookupPeer("d1"), (TrustedPeer{"d1", "Phone", "P", 0}));
    EXPECT_FALSE(store.lookupPeer("D1")) << "device IDs compare case-sensitively";
}

TEST_F(TrustStoreTest, UndecodableItemsGiveAnEmptyStoreAndStayUntilTheNextChange) {
    const char* texts[] = {
        "not json",
        "",
        "[]",
        "null",
        R"({"d1":5})",
        R"({"d1":{"deviceID":"d1","displayName":"Phone","publicKey":"P"}})",
        R"({"d1":{"deviceID":"d1","displayName":"Phone","publicKey":"P","pairedAt":"0"}})",
        R"({"d1":{"deviceID":"d1","displayName":null,"publicKey":"P","pairedAt":0}})",
        R"({"ok":{"deviceID":"ok","displayName":"A","publicKey":"P","pairedAt":1},"d1":{}})",
        R"({"d":{"deviceID":"d","displayName":"A","publicKey":"P","pairedAt":1,"protocolVersion":0}})",
        R"({"d":{"deviceID":"d","displayName":"A","publicKey":"P","pairedAt":1,"protocolVersion":1.5}})",
        R"({"d":{"deviceID":"d","displayName":"A","publicKey":"P","pairedAt":1,"protocolVersion":"2"}})",
        R"({"d":{"deviceID":"d","displayName":"A","publicKey":"P","pairedAt":1,"protocolVersion":null}})",
    };
    for (const char* text : texts) {
        keychain.items[account] = text;
        TrustStore store = makeStore();
        EXPECT_TRUE(store.peers().empty()) << text;
        EXPECT_EQ(stored(), text);

        clock = 5;
        ASSERT_TRUE(store.trust(HelloPayload{"d2", "Tablet", "Q", "n", "s"}).hasValue());
        EXPECT_EQ(stored(),
                  R"({"d2":{"deviceID":"d2","displayName":"Tablet","pairedAt":5,"publicKey":"Q"}})")
            << text;
    }
}

TEST_F(TrustStoreTest, ARecordIsFiledUnderItsMemberNameAndOtherMembersAreIgnored) {
    keychain.items[account] =
        R"({"alias":{"pairedAt":2.5,"extra":[1,2],"publicKey":"P","displayName":"Phone","deviceID":"real"}})";
    TrustStore store = makeStore();
    EXPECT_EQ(store.lookupPeer("alias"), (TrustedPeer{"real", "Phone", "P", 2.5}));
    EXPECT_FALSE(store.lookupPeer("real"));
}

TEST_F(TrustStoreTest, VersionTwoRecordsSaySoAndVersionOneRecordsKeepTheirForm) {
    keychain.items[account] =
        R"({"old":{"deviceID":"old","displayName":"A","publicKey":"P","pairedAt":1}})";
    TrustStore store = makeStore();
    EXPECT_EQ(store.lookupPeer("old")->protocolVersion, 1);
    ASSERT_TRUE(
        store.trustVersion2(tarnwick::HelloOffer{"d2", "Tablet", "Q", "n", "fp"}).hasValue());
    EXPECT_EQ(store.lookupPeer("d2"), (TrustedPeer{"d2", "Tablet", "Q", 0, 2}));
    EXPECT_EQ(stored(), R"({"d2":{"deviceID":"d2","displayName":"Tablet","pairedAt":0,)"
                        R"("protocolVersion":2,"publicKey":"Q"},"old":{"deviceID":"old",)"
                        R"("displayName":"A","pairedAt":1,"publicKey":"P"}})");
    EXPECT_EQ(makeStore().peers(), store.peers());

    // Proving itself with version 2 upgrades a version-1 record once, and never back.
    const int saves = keychain.saves;
    ASSERT_TRUE(store.upgradeToVersion2("old").hasValue());
    ASSERT_TRUE(store.upgradeToVersion2("old").hasValue());
    ASSERT_TRUE(store.upgradeToVersion2("nobody").hasValue());
    EXPECT_EQ(keychain.saves, saves + 1);
    EXPECT_EQ(makeStore().lookupPeer("old")->protocolVersion, 2);
}

TEST_F(TrustStoreTest, PairingAgainReplacesTheRecord) {
    TrustStore store = makeStore();
    clock = 100;
    ASSERT_TRUE(store.trust(HelloPayload{"d1", "Old name", "P1", "n", "s"}).hasValue());
    clock = 200.25;
    ASSERT_TRUE(store.trust(HelloPayload{"d1", "New name", "P2", "n", "s"}).hasValue());
    ASSERT_EQ(store.peers().size(), 1u);
    EXPECT_EQ(store.lookupPeer("d1"), (TrustedPeer{"d1", "New name", "P2", 200.25}));
    EXPECT_EQ(makeStore().peers(), store.peers());
}

TEST_F(TrustStoreTest, RemovingWritesTheMapEvenWhenNothingChanged) {
    TrustStore store = makeStore();
    ASSERT_TRUE(store.trust(HelloPayload{"d1", "Phone", "P", "n", "s"}).hasValue());
    ASSERT_TRUE(store.trust(HelloPayload{"d2", "Tablet", "Q", "n", "s"}).hasValue());
    std::string before = stored();
    int saves = keychain.saves;

    ASSERT_TRUE(store.remove("unknown").hasValue());
    EXPECT_EQ(keychain.saves, saves + 1);
    EXPECT_EQ(stored(), before);
    EXPECT_EQ(store.peers().size(), 2u);

    ASSERT_TRUE(store.remove("d1").hasValue());
    EXPECT_FALSE(store.lookupPeer("d1"));
    ASSERT_TRUE(store.remove("d2").hasValue());
    EXPECT_EQ(stored(), "{}");
    EXPECT_TRUE(makeStore().peers().empty());
}

TEST_F(TrustStoreTest, AFailedWriteKeepsTheChangeInMemoryOnly) {
    TrustStore store = makeStore();
    ASSERT_TRUE(store.trust(HelloPayload{"d1", "Phone", "P", "n", "s"}).hasValue());
    std::string before = stored();

    keychain.saveFailure = KeychainError::fromStatus(28, "No space left on device");
    auto trusted = store.trust(HelloPayload{"d2", "Tablet", "Q", "n", "s"});
    ASSERT_FALSE(trusted.hasValue());
    EXPECT_EQ(trusted.error().description, "No space left on device");
    EXPECT_TRUE(store.lookupPeer("d2"));
    auto removed = store.remove("d1");
    ASSERT_FALSE(removed.hasValue());
    EXPECT_FALSE(store.lookupPeer("d1"));

    keychain.saveFailure.reset();
    EXPECT_EQ(stored(), before);
    TrustStore relaunched = makeStore();
    EXPECT_TRUE(relaunched.lookupPeer("d1"));
    EXPECT_FALSE(relaunched.lookupPeer("d2"));
}

TEST_F(TrustStoreTest, ATimeThatCannotBeStoredFailsTheChange) {
    TrustStore store = makeStore();
    clock = std::numeric_limits<double>::quiet_NaN();
    auto trusted = store.trust(HelloPayload{"d1", "Phone", "P", "n", "s"});
    ASSERT_FALSE(trusted.hasValue());
    EXPECT_EQ(trusted.error().status, TrustStore::encodingFailedStatus);
    EXPECT_NE(trusted.error().description.find("could not be encoded"), std::string::npos);
    EXPECT_EQ(keychain.saves, 0);
}

TEST(ReferenceClock, CountsSecondsFromTheStartOf2001InUtc) {
    QDateTime reference(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    auto toReference = [&](std::chrono::system_clock::time_point point) {
        return std::chrono::duration<double>(point.time_since_epoch()).count() -
               static_cast<double>(reference.toSecsSinceEpoch());
    };
    double before = toReference(std::chrono::system_clock::now());
    double now = tarnwick::secondsSinceReferenceDate();
    double after = toReference(std::chrono::system_clock::now());
    EXPECT_LE(before, now);
    EXPECT_LE(now, after);
}

} // namespace
