// The window's list models over a controller with stand-in neighbours: they follow it row by
// row, keep the item-model contract (checked by Qt's model tester on every change) and bound the
// activity log.
#include "FakeBridge.h"
#include "ui/ActivityLogModel.h"
#include "ui/PairingRequestModel.h"
#include "ui/TrustedDeviceModel.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace tarnwick;
using namespace tarnwick::testing;

namespace {

constexpr auto fatal = QAbstractItemModelTester::FailureReportingMode::Fatal;

QString cell(const QAbstractItemModel& model, int row, const char* role) {
    return model.data(model.index(row, 0), model.roleNames().key(role)).toString();
}

} // namespace

TEST(WindowModelTest, PairingRequestsFollowTheControllerWithTheirRoles) {
    FakeBridge bridge;
    PairingRequestModel model(*bridge.controller);
    QAbstractItemModelTester tester(&model, fatal);
    QSignalSpy counts(&model, &PairingRequestModel::countChanged);
    bridge.requestPairing("Ana's iPhone");
    bridge.requestPairing("Ben's iPad");
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(model.count(), 2);
    EXPECT_EQ(counts.size(), 2);
    const auto& requests = bridge.controller->pairingRequests();
    for (int row = 0; row < 2; ++row) {
        EXPECT_EQ(cell(model, row, "requestId").toStdString(), requests[row].id);
        EXPECT_EQ(cell(model, row, "code").toStdString(), requests[row].code);
        EXPECT_EQ(cell(model, row, "requestKey").toStdString(), requests[row].key());
    }
    EXPECT_NE(cell(model, 0, "requestKey"), cell(model, 1, "requestKey"));
    EXPECT_EQ(cell(model, 1, "displayName"), QStringLiteral("Ben's iPad"));

    bridge.controller->acceptRequest(QStringLiteral("Ana's iPhone"));
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(cell(model, 0, "displayName"), QStringLiteral("Ben's iPad"));
}

TEST(WindowModelTest, TrustedDevicesFollowTheControllerInItsOrder) {
    FakeBridge bridge(FakeBridge::storedDevices({"Mia's iPad", "Ana's iPhone"}));
    TrustedDeviceModel model(*bridge.controller);
    QAbstractItemModelTester tester(&model, fatal);
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(cell(model, 0, "displayName"), QStringLiteral("Ana's iPhone"));
    EXPECT_EQ(cell(model, 0, "deviceID"), QStringLiteral("DEVICE-2"));
    EXPECT_EQ(cell(model, 0, "note"),
              QStringLiteral("paired with handshake version 1, which can be replayed: pair it "
                             "again to upgrade"));
    // Two days after 2025-11-28 05:20 UTC.
    const auto pairedAt = model.data(model.index(0, 0), TrustedDeviceModel::PairedAtRole);
    EXPECT_EQ(pairedAt.toDateTime().toUTC(), QDateTime(QDate(2025, 11, 30), QTime(5, 20), Qt::UTC));

    // A look-alike on show marks the row it could pass for, until it goes.
    bridge.requestPairing("Mi\u0430's iPad");
    PairingRequestModel requests(*bridge.controller);
    EXPECT_EQ(cell(requests, 0, "displayName"),
              QStringLiteral("Mi\\u{0430}'s iPad (look-alike name)"));
    EXPECT_EQ(cell(model, 1, "displayName"), QStringLiteral("Mia's iPad (look-alike name)"));
    bridge.controller->rejectRequest(QStringLiteral("Mi\u0430's iPad"));
    EXPECT_EQ(cell(model, 1, "displayName"), QStringLiteral("Mia's iPad"));

    bridge.controller->forgetPeer(QStringLiteral("DEVICE-2"));
    ASSERT_EQ(model.count(), 1);
    EXPECT_EQ(cell(model, 0, "displayName"), QStringLiteral("Mia's iPad"));
}

TEST(WindowModelTest, ActivityLogInsertsEachLineAtTheTopAndDropsTheOldestBeyondItsBound) {
    FakeBridge bridge;
    bridge.appServer->log("Before the model");
    ActivityLogModel model(*bridge.controller, BridgeController::maxLogLines);
    QAbstractItemModelTester tester(&model, fatal);
    const int before = model.rowCount();
    ASSERT_EQ(before, static_cast<int>(bridge.controller->logs().size()));
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    for (int index = 1; index <= 105; ++index) {
        bridge.appServer->log("Line " + std::to_string(index));
    }
    EXPECT_EQ(resets.size(), 0);
    EXPECT_EQ(inserted.size(), 105);
    EXPECT_EQ(inserted.last().at(1).toInt(), 0);
    // One row out at the bottom for each line beyond the hundred.
    EXPECT_EQ(removed.size(), before + 105 - 100);
    ASSERT_EQ(model.rowCount(), 100);
    EXPECT_EQ(cell(model, 0, "line"), QStringLiteral("Line 105"));
    EXPECT_EQ(cell(model, 99, "line"), QStringLiteral("Line 6"));
    EXPECT_EQ(removed.last().at(1).toInt(), 100);
    // The same lines as the controller's own log.
    for (int row = 0; row < 100; ++row) {
        EXPECT_EQ(cell(model, row, "line").toStdString(), bridge.controller->logs()[row]);
    }

    // The window's model keeps only the lines it shows.
    ActivityLogModel shown(*bridge.controller, 10);
    bridge.appServer->log("Line 106");
    ASSERT_EQ(shown.rowCount(), 10);
    EXPECT_EQ(cell(shown, 0, "line"), QStringLiteral("Line 106"));
    EXPECT_EQ(cell(shown, 9, "line"), QStringLiteral("Line 97"));
}
