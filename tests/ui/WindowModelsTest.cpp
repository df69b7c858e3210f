// The window's list models over a controller with stand-in neighbours: they follow it row by
// row, keep the item-model contract (checked by Qt's model tester on every change) and bound the
// activity log. And the three front ends side by side: one numbering of pairing requests.
#include "app/BridgeControl.h"
#include "support/ControllerRig.h"
#include "ui/ActivityLogModel.h"
#include "ui/PairingRequestModel.h"
#include "ui/TerminalFrontEnd.h"
#include "ui/TrustedDeviceModel.h"

#include <QAbstractItemModelTester>
#include <QBuffer>
#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace tarnwick;
using namespace tarnwick::testing;

namespace {

constexpr auto fatal = QAbstractItemModelTester::FailureReportingMode::Fatal;

QString cell(const QAbstractItemModel& model, int row, const char* role) {
    return model.data(model.index(row, 0), model.roleNames().key(role)).toString();
}

} // namespace

TEST(WindowModelTest, PairingRequestsFollowTheControllerWithTheirRoles) {
    ControllerRig bridge({{}, true, false});
    PairingRequestModel model(*bridge.controller);
    QAbstractItemModelTester tester(&model, fatal);
    QSignalSpy counts(&model, &PairingRequestModel::countChanged);
    bridge.requestPairing("Ana's iPhone");
    bridge.requestPairing("Ben's iPad");
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(model.count(), 2);
    EXPECT_EQ(counts.size(), 2);
    // Serial and code by row: FrontEndsTest.
    const auto requests = bridge.controller->pairingRequests();
    EXPECT_EQ(cell(model, 1, "displayName"), u"Ben's iPad"_s);

    ASSERT_TRUE(bridge.controller->decideRequest(requests[0].serial,
                                                 QString::fromStdString(requests[0].code), true));
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(cell(model, 0, "displayName"), u"Ben's iPad"_s);
}

TEST(WindowModelTest, TrustedDevicesFollowTheControllerInItsOrder) {
    ControllerRig bridge(
        {ControllerRig::storedDevices({"Mia's iPad", "Ana's iPhone"}), true, false});
    TrustedDeviceModel model(*bridge.controller);
    QAbstractItemModelTester tester(&model, fatal);
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(cell(model, 0, "displayName"), u"Ana's iPhone"_s);
    EXPECT_EQ(cell(model, 0, "deviceID"), u"DEVICE-2"_s);
    // Its note and date as the window shows them: BridgeWindowTest.
    // A look-alike on show marks the row it could pass for, until it goes.
    bridge.requestPairing("Mi\u0430's iPad");
    PairingRequestModel requests(*bridge.controller);
    EXPECT_EQ(cell(requests, 0, "displayName"), u"Mi\\u{0430}'s iPad (look-alike name)"_s);
    EXPECT_EQ(cell(model, 1, "displayName"), u"Mia's iPad (look-alike name)"_s);
    ASSERT_TRUE(bridge.decideNewest(PairingDecision::reject));
    EXPECT_EQ(cell(model, 1, "displayName"), u"Mia's iPad"_s);

    bridge.controller->forgetPeer(u"DEVICE-2"_s);
    ASSERT_EQ(model.count(), 1);
    EXPECT_EQ(cell(model, 0, "displayName"), u"Mia's iPad"_s);
}

TEST(WindowModelTest, ActivityLogInsertsEachLineAtTheTopAndDropsTheOldestBeyondItsBound) {
    ControllerRig bridge({{}, true, false});
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
    EXPECT_EQ(cell(model, 0, "line"), u"Line 105"_s);
    EXPECT_EQ(cell(model, 99, "line"), u"Line 6"_s);
    EXPECT_EQ(removed.last().at(1).toInt(), 100);
}

// The window, the terminal and `tarnwick-bridge pair` show a request under the same number and
// decide on the request they showed: one that went away, or whose place another of its name
// took, is decided by none of them.
TEST(FrontEndsTest, AllThreeShowOneNumberAndRefuseARequestThatChanged) {
    enum class Via { window, terminal, control };
    enum class Change { none, gone, replaced };
    for (const Via via : {Via::window, Via::terminal, Via::control}) {
        for (const Change change : {Change::none, Change::gone, Change::replaced}) {
            SCOPED_TRACE(::testing::Message()
                         << "front end " << int(via) << ", change " << int(change));
            ControllerRig bridge({{}, true, false});
            QBuffer screen;
            screen.open(QIODevice::ReadWrite);
            TerminalWriter writer(screen, false);
            TerminalFrontEnd terminal(*bridge.controller, writer);
            terminal.begin();
            PairingRequestModel cards(*bridge.controller);
            BridgeControl control(*bridge.controller);
            bridge.requestPairing("Other");
            auto& phone = bridge.requestPairing("Phone");
            const std::uint64_t serial = bridge.controller->pairingRequests().back().serial;
            ASSERT_EQ(serial, 2u);
            const QString shown = u"Pairing request 2 from Phone\n"_s;
            EXPECT_TRUE(QString::fromUtf8(screen.data()).contains(shown));
            EXPECT_TRUE(control.handle({u"requests"_s}).text.contains(shown));
            EXPECT_EQ(cell(cards, 1, "serial").toULongLong(), serial);
            const QString code = cell(cards, 1, "code");

            if (change != Change::none) {
                bridge.link->disconnect(phone.peer);
            }
            if (change == Change::replaced) {
                bridge.requestPairing("Phone");
            }
            const auto waiting = bridge.controller->pairingRequests().size();
            bool answered = false;
            if (via == Via::window) {
                answered = bridge.controller->decideRequest(serial, code, true);
            } else if (via == Via::terminal) {
                const auto before = screen.data().size();
                terminal.handleLine(u"pair 2"_s);
                const QString answer = QString::fromUtf8(screen.data().mid(before));
                answered = !answer.startsWith(u"No pairing request 2"_s) &&
                           !answer.startsWith(u"That request changed"_s);
            } else {
                const auto answer = control.handle({u"pair"_s, u"2"_s});
                answered = answer.ok;
                EXPECT_EQ(answer.text.startsWith(u"Pairing request 2 changed since it was listed; "
                                                 "nothing was done."_s),
                          !answered);
                // A request that came after the listing is not decided by its number.
                EXPECT_TRUE(control.handle({u"pair"_s, u"3"_s})
                                .text.startsWith(u"No pairing request 3 was listed."_s));
            }
            const bool decided = change == Change::none;
            EXPECT_EQ(answered, decided);
            EXPECT_EQ(bridge.accepted(phone), decided);
            EXPECT_EQ(bridge.trustStore->peers.size(), decided ? 1u : 0u);
            EXPECT_EQ(bridge.controller->pairingRequests().size(), waiting - (decided ? 1 : 0));
        }
    }
}
