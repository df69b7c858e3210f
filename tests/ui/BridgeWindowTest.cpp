// The window, loaded as the application loads it and drawn off screen, against a controller
// whose neighbours are stand-ins: what it shows for each state and what its controls call.
#include "ui/BridgeWindow.h"

#include "bridge/ApprovalRouter.h"
#include "support/ControllerRig.h"
#include "ui/ApprovalSettings.h"

#include <QDir>
#include <QQuickItem>
#include <QTest>

#include <gtest/gtest.h>

// Readable failures for texts.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

using namespace tarnwick;
using namespace tarnwick::testing;

namespace {

const QString startedLine =
    QStringLiteral("Bridge started. Only paired devices can call the Codex allowlist.");

// Every visual item below `item`, depth first.
void collect(QQuickItem* item, QList<QQuickItem*>& items) {
    for (QQuickItem* child : item->childItems()) {
        items.append(child);
        collect(child, items);
    }
}

class BridgeWindowTest : public ::testing::Test {
protected:
    explicit BridgeWindowTest(std::map<std::string, TrustedPeer> stored = {})
        : bridge({std::move(stored), true, false}) {}

    void SetUp() override { open(); }

    void open() {
        view = std::make_unique<BridgeWindow>(*bridge.controller);
        view->setApprovalSettings(approvalSettings);
        // Off screen there is no window manager; the window is drawn as on X11 and Wayland.
        view->setFrameless(true);
        ASSERT_TRUE(view->load()) << view->errors().join(u'\n').toStdString();
        window()->resize(980, 820);
        view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window()));
        settle();
    }

    // Shown by the window opened next, when set.
    QObject* approvalSettings = nullptr;

    void TearDown() override {
        EXPECT_TRUE(view->errors().isEmpty()) << view->errors().join(u'\n').toStdString();
    }

    QQuickWindow* window() const { return view->window(); }

    // Lets bindings, layouts and a frame catch up with the controller.
    void settle() {
        // Layouts that depend on text sizes take a few polish passes.
        for (int pass = 0; pass < 4; ++pass) {
            QCoreApplication::processEvents();
            window()->grabWindow();
        }
    }

    QList<QQuickItem*> items(const QString& objectName, QQuickItem* below = nullptr) const {
        QList<QQuickItem*> all;
        collect(below ? below : window()->contentItem(), all);
        QList<QQuickItem*> named;
        for (QQuickItem* item : all) {
            if (item->objectName() == objectName && item->isVisible()) {
                named.append(item);
            }
        }
        return named;
    }

    QQuickItem* item(const QString& objectName, QQuickItem* below = nullptr) const {
        const auto found = items(objectName, below);
        EXPECT_EQ(found.size(), 1) << "items named " << objectName.toStdString();
        return found.isEmpty() ? nullptr : found.first();
    }

    // The item named `objectName`, also when it is hidden.
    QQuickItem* anyItem(const QString& objectName) const {
        QList<QQuickItem*> all;
        collect(window()->contentItem(), all);
        for (QQuickItem* candidate : all) {
            if (candidate->objectName() == objectName) {
                return candidate;
            }
        }
        return nullptr;
    }

    static QString text(QQuickItem* item) {
        return item ? item->property("text").toString() : QString();
    }

    // Top edge of an item in window coordinates.
    static qreal top(QQuickItem* item) { return item->mapToScene(QPointF(0, 0)).y(); }
    static qreal bottom(QQuickItem* item) {
        return item->mapToScene(QPointF(0, item->height())).y();
    }

    // Clicks the middle of `target` as a user would, scrolling it into view first.
    void click(QQuickItem* target) {
        ASSERT_NE(target, nullptr);
        QQuickItem* scroll = item(QStringLiteral("scrollArea"));
        auto* flickable = scroll->property("contentItem").value<QQuickItem*>();
        ASSERT_NE(flickable, nullptr);
        const qreal wanted =
            target
                ->mapToItem(flickable->property("contentItem").value<QQuickItem*>(), QPointF(0, 0))
                .y();
        const qreal maxY =
            std::max(0.0, flickable->property("contentHeight").toReal() - flickable->height());
        flickable->setProperty("contentY", std::clamp(wanted - 100.0, 0.0, maxY));
        settle();
        const QPointF centre =
            target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        QTest::mouseClick(window(), Qt::LeftButton, {}, centre.toPoint());
        settle();
    }

    QStringList shownLogLines() const {
        QStringList lines;
        QQuickItem* box = item(QStringLiteral("activityLines"));
        if (!box) {
            return lines;
        }
        for (QQuickItem* child : box->childItems()) {
            if (child->property("text").isValid() && child->isVisible()) {
                lines.append(child->property("text").toString());
            }
        }
        return lines;
    }

    ControllerRig bridge;
    std::unique_ptr<BridgeWindow> view;
};

class BridgeWindowWithDevicesTest : public BridgeWindowTest {
protected:
    BridgeWindowWithDevicesTest()
        : BridgeWindowTest(
              ControllerRig::storedDevices({"Mia's iPad", "Ana's iPhone", "Studio iPhone"})) {}
};

void saveScreenshot(QQuickWindow* window, const QString& name) {
    QDir().mkpath(QStringLiteral(TARNWICK_SCREENSHOT_DIR));
    // Tall enough for the whole column, so nothing is scrolled away.
    const QString path = QStringLiteral(TARNWICK_SCREENSHOT_DIR "/%1.png").arg(name);
    ASSERT_TRUE(window->grabWindow().save(path)) << path.toStdString();
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Start and window

TEST_F(BridgeWindowTest, StartsTheBridgeOnceWhenTheContentFirstAppears) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return bridge.link->starts == 1; }, 30000));
    window()->hide();
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window()));
    settle();
    EXPECT_EQ(bridge.link->starts, 1);
    EXPECT_EQ(bridge.appServer->starts.size(), 1u);
    EXPECT_EQ(std::count(bridge.controller->logs().begin(), bridge.controller->logs().end(),
                         startedLine.toStdString()),
              1);
}

TEST_F(BridgeWindowTest, HasNoTitleAndEverythingFitsAtTheMinimumSize) {
    EXPECT_EQ(window()->title(), QString());
    EXPECT_EQ(window()->minimumSize(),
              QSize(BridgeWindow::minimumWidth, BridgeWindow::minimumHeight));
    EXPECT_EQ(window()->minimumSize(), QSize(780, 620));
    for (int index = 1; index <= 15; ++index) {
        bridge.appServer->log("Line " + std::to_string(index));
    }
    bridge.requestPairing("Ana's iPhone");
    window()->resize(window()->minimumSize());
    settle();
    // Nothing is pushed out at the right: the switch and the pair button keep the padding.
    for (const char* name : {"launchAtLoginSwitch", "pairButton", "restartButton"}) {
        QQuickItem* control = item(QString::fromLatin1(name));
        ASSERT_NE(control, nullptr) << name;
        EXPECT_LE(control->mapToScene(QPointF(control->width(), 0)).x(), 780 - 30 + 0.5) << name;
    }
    saveScreenshot(window(), QStringLiteral("minimum-size"));
}

TEST_F(BridgeWindowTest, ComesToTheFrontWhenAskedAgain) {
    window()->showMinimized();
    view->bringToFront();
    EXPECT_TRUE(window()->isVisible());
    EXPECT_NE(window()->visibility(), QWindow::Minimized);
}

// ---------------------------------------------------------------------------------------------
// Sections

TEST_F(BridgeWindowTest, EachRequestIsACardBetweenStatusAndDevicesThatDecidesItsOwnRequest) {
    EXPECT_TRUE(items(QStringLiteral("pairing")).isEmpty());
    QQuickItem* status = item(QStringLiteral("status"));
    QQuickItem* trusted = item(QStringLiteral("trustedDevices"));
    ASSERT_TRUE(status && trusted);
    EXPECT_DOUBLE_EQ(top(trusted), bottom(status) + 22);
    saveScreenshot(window(), QStringLiteral("no-devices"));

    auto& first = bridge.requestPairing("Ana's iPhone");
    auto& second = bridge.requestPairing("Ben's iPad");
    settle();
    QQuickItem* pairing = item(QStringLiteral("pairing"));
    ASSERT_NE(pairing, nullptr);
    EXPECT_DOUBLE_EQ(top(pairing), bottom(status) + 22);
    EXPECT_DOUBLE_EQ(top(trusted), bottom(pairing) + 22);
    const auto names = items(QStringLiteral("requestName"));
    ASSERT_EQ(names.size(), 2);
    EXPECT_EQ(text(names[0]), QStringLiteral("Ana's iPhone"));
    EXPECT_EQ(text(names[1]), QStringLiteral("Ben's iPad"));
    // Each card shows its request's code and the number the terminal and the command know.
    const auto& requests = bridge.controller->pairingRequests();
    for (int card = 0; card < 2; ++card) {
        EXPECT_EQ(text(items(QStringLiteral("requestCode"))[card]),
                  QString::fromStdString(requests[card].code));
        EXPECT_TRUE(text(items(QStringLiteral("requestHint"))[card])
                        .startsWith(QStringLiteral("Request %1: ").arg(requests[card].serial)));
    }
    saveScreenshot(window(), QStringLiteral("pairing-request"));

    click(items(QStringLiteral("pairButton"))[0]);
    EXPECT_TRUE(bridge.accepted(first));
    EXPECT_FALSE(bridge.accepted(second));
    ASSERT_EQ(items(QStringLiteral("requestName")).size(), 1);
    EXPECT_EQ(text(item(QStringLiteral("requestName"))), QStringLiteral("Ben's iPad"));
    EXPECT_EQ(text(item(QStringLiteral("statusValue"), item(QStringLiteral("devicesCard")))),
              QStringLiteral("1 trusted"));
    ASSERT_EQ(items(QStringLiteral("deviceName")).size(), 1);

    click(item(QStringLiteral("rejectButton")));
    EXPECT_TRUE(bridge.rejected(second));
    EXPECT_TRUE(items(QStringLiteral("pairing")).isEmpty());
}

TEST_F(BridgeWindowTest, ConnectAPhoneShowsTheCodeTheAddressAndTheFingerprintUntilDone) {
    EXPECT_TRUE(items(QStringLiteral("deviceName")).isEmpty());
    EXPECT_EQ(text(item(QStringLiteral("statusValue"), item(QStringLiteral("devicesCard")))),
              QStringLiteral("0 trusted"));
    EXPECT_EQ(text(item(QStringLiteral("emptyDevicesHintText"))),
              QStringLiteral("Connect a phone: press \"Connect a phone\" and scan the code with "
                             "the phone's camera, or run tarnwick-device on another computer."));
    EXPECT_TRUE(items(QStringLiteral("phonePairingOverlay")).isEmpty());
    bridge.link->web = "https://192.0.2.7:50123/";
    bridge.link->fingerprint = std::string(64, 'b');
    bridge.link->authority = std::string(64, 'd');
    emit bridge.controller->linkStatusChanged();
    click(item(QStringLiteral("connectPhoneButton")));
    ASSERT_EQ(items(QStringLiteral("phonePairingOverlay")).size(), 1);
    saveScreenshot(window(), QStringLiteral("connect-a-phone"));

    QQuickItem* code = item(QStringLiteral("phoneQrCode"));
    ASSERT_NE(code, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return code->property("status").toInt() == 1; }, 10000))
        << "the image is ready";
    const QSize picture = code->property("sourceSize").toSize();
    EXPECT_GT(picture.width(), 100);
    EXPECT_EQ(picture.width(), picture.height());
    const QString address = text(item(QStringLiteral("phoneAddress")));
    EXPECT_TRUE(address.startsWith(QStringLiteral("https://192.0.2.7:50123/#pair=")))
        << address.toStdString();
    EXPECT_EQ(address.size(), 30 + 43);
    // Broken only between pairs: four lines of eight.
    const QString eight = QStringLiteral("BB") + QStringLiteral(":BB").repeated(7);
    EXPECT_EQ(text(item(QStringLiteral("phoneFingerprint"))),
              QStringLiteral("Certificate SHA-256\n") +
                  QStringList({eight, eight, eight, eight}).join(QStringLiteral(":\n")));
    EXPECT_TRUE(items(QStringLiteral("phoneWarning")).isEmpty());
    EXPECT_EQ(text(item(QStringLiteral("phoneOnce"))),
              QStringLiteral("The code works once, for 5 minutes."));
    EXPECT_TRUE(text(item(QStringLiteral("phoneTrustLine0")))
                    .startsWith(QStringLiteral("Trust this computer on the phone: ")));
    EXPECT_TRUE(text(item(QStringLiteral("phoneTrustLine3"))).endsWith(QStringLiteral(":DD:DD.")));

    // Clicks do not reach the window below while the panel is open.
    click(item(QStringLiteral("connectPhoneButton")));
    EXPECT_EQ(text(item(QStringLiteral("phoneAddress"))), address);
    click(item(QStringLiteral("phoneDoneButton")));
    EXPECT_TRUE(items(QStringLiteral("phonePairingOverlay")).isEmpty());
    // Opened again, it shows a new code: the old one was burnt with the panel.
    click(item(QStringLiteral("connectPhoneButton")));
    EXPECT_NE(text(item(QStringLiteral("phoneAddress"))), address);
    // A phone that pairs with the code closes the panel: the code is spent.
    emit bridge.controller->phonePaired();
    settle();
    EXPECT_TRUE(items(QStringLiteral("phonePairingOverlay")).isEmpty());

    // A loopback address is out of a phone's reach, and the panel says what to do.
    bridge.link->web = "https://127.0.0.1:47600/";
    click(item(QStringLiteral("connectPhoneButton")));
    EXPECT_TRUE(text(item(QStringLiteral("phoneWarning")))
                    .startsWith(QStringLiteral("A phone cannot open this address: 127.0.0.1 is "
                                               "this computer's own loopback address")));
    click(item(QStringLiteral("phoneDoneButton")));

    // Without an address the panel says why instead of showing a code.
    bridge.link->web.clear();
    click(item(QStringLiteral("connectPhoneButton")));
    EXPECT_TRUE(items(QStringLiteral("phoneQrCode")).isEmpty());
    EXPECT_EQ(text(item(QStringLiteral("phoneNotReady"))),
              QStringLiteral("Cannot connect a phone yet: the bridge is not listening on the local "
                             "network or has no secure identity."));
}

TEST_F(BridgeWindowWithDevicesTest, ListsTrustedDevicesInOrderAndForgetsOne) {
    EXPECT_TRUE(items(QStringLiteral("emptyDevicesHint")).isEmpty());
    EXPECT_EQ(text(item(QStringLiteral("statusValue"), item(QStringLiteral("devicesCard")))),
              QStringLiteral("3 trusted"));
    const auto names = items(QStringLiteral("deviceName"));
    ASSERT_EQ(names.size(), 3);
    EXPECT_EQ(text(names[0]), QStringLiteral("Ana's iPhone"));
    EXPECT_EQ(text(names[1]), QStringLiteral("Mia's iPad"));
    EXPECT_EQ(text(names[2]), QStringLiteral("Studio iPhone"));
    // Ana's iPhone was the second stored, two days after the reference time.
    EXPECT_EQ(text(items(QStringLiteral("pairedLine"))[0]),
              QStringLiteral("Paired Nov 30, 2025, 5:20 AM"));
    // All three paired with handshake version 1, and each card says so.
    const auto notes = items(QStringLiteral("versionNote"));
    ASSERT_EQ(notes.size(), 3);
    EXPECT_EQ(text(notes[0]), QStringLiteral("paired with handshake version 1, which can be "
                                             "replayed: pair it again to upgrade"));

    click(items(QStringLiteral("forgetButton"))[1]);
    EXPECT_FALSE(bridge.trustStore->peers.contains("DEVICE-1"));
    EXPECT_EQ(bridge.trustStore->peers.size(), 2u);
    EXPECT_EQ(items(QStringLiteral("deviceName")).size(), 2);
    EXPECT_EQ(text(item(QStringLiteral("statusValue"), item(QStringLiteral("devicesCard")))),
              QStringLiteral("2 trusted"));
}

TEST_F(BridgeWindowWithDevicesTest, TheCeilingIsSetHereForEveryDeviceAndOnADevicesCard) {
    click(item(QStringLiteral("ceilingSandbox2")));
    EXPECT_EQ(bridge.controller->ceilings().everyDevice.sandbox, SandboxLevel::dangerFullAccess);
    EXPECT_TRUE(text(item(QStringLiteral("ceilingMessage")))
                    .startsWith(QStringLiteral("Devices may now let Codex run commands with no "
                                               "sandbox")));
    EXPECT_TRUE(items(QStringLiteral("ownCeiling")).isEmpty());
    click(items(QStringLiteral("readOnlyButton"))[1]);
    EXPECT_EQ(bridge.controller->ceilings().devices.at("DEVICE-1").sandbox, SandboxLevel::readOnly);
    EXPECT_TRUE(text(item(QStringLiteral("ownCeiling")))
                    .startsWith(QStringLiteral("own ceiling: at most read-only")));
    click(items(QStringLiteral("readOnlyButton"))[1]);
    EXPECT_TRUE(bridge.controller->ceilings().devices.empty());
}

TEST_F(BridgeWindowWithDevicesTest, ShowsTheTenNewestLogLinesNewestFirst) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return bridge.link->starts == 1; }, 30000));
    for (int index = 1; index <= 15; ++index) {
        bridge.appServer->log("Line " + std::to_string(index));
    }
    settle();
    QStringList expected;
    for (int index = 15; index > 5; --index) {
        expected.append(QStringLiteral("Line %1").arg(index));
    }
    EXPECT_EQ(shownLogLines(), expected);
    saveScreenshot(window(), QStringLiteral("three-devices-fifteen-lines"));

    bridge.appServer->log("Line 16");
    settle();
    expected.prepend(QStringLiteral("Line 16"));
    expected.removeLast();
    EXPECT_EQ(shownLogLines(), expected);
}

// ---------------------------------------------------------------------------------------------
// Status cards

TEST_F(BridgeWindowTest, EngineCardTurnsFromOrangeToGreenWhenReady) {
    QQuickItem* engine = item(QStringLiteral("engineCard"));
    QQuickItem* symbol = item(QStringLiteral("statusSymbol"), engine);
    ASSERT_NE(symbol, nullptr);
    EXPECT_EQ(symbol->property("color").value<QColor>(), QColor(QStringLiteral("#ff9f0a")));
    bridge.appServer->status("Codex app-server ready", true);
    settle();
    EXPECT_EQ(symbol->property("color").value<QColor>(), QColor(QStringLiteral("#30d158")));
    EXPECT_EQ(text(item(QStringLiteral("statusValue"), engine)),
              QStringLiteral("Codex app-server ready"));
}

TEST_F(BridgeWindowTest, ALongStatusIsCutAtTwoLinesAndCardsStayAtLeast140Tall) {
    QQuickItem* engine = item(QStringLiteral("engineCard"));
    EXPECT_GE(engine->height(), 140);
    const qreal shortHeight = engine->height();
    bridge.appServer->status(
        "Codex CLI was not found in /opt/homebrew/bin, /usr/local/bin, or the bridge PATH. "
        "Install it, then press Restart Codex to look again; the bridge keeps running meanwhile "
        "and devices stay connected while it waits for the engine to come back.",
        false);
    settle();
    QQuickItem* value = item(QStringLiteral("statusValue"), engine);
    EXPECT_EQ(value->property("lineCount").toInt(), 2);
    EXPECT_TRUE(value->property("truncated").toBool());
    EXPECT_LE(engine->height(), shortHeight + 1);
    // All three cards share the row equally and are equally tall.
    QQuickItem* link = item(QStringLiteral("linkCard"));
    QQuickItem* devices = item(QStringLiteral("devicesCard"));
    EXPECT_DOUBLE_EQ(engine->width(), link->width());
    EXPECT_DOUBLE_EQ(link->width(), devices->width());
    EXPECT_DOUBLE_EQ(engine->height(), devices->height());
}

TEST_F(BridgeWindowTest, LinkCardFollowsTheLinkStatus) {
    // No fingerprint yet, no line.
    EXPECT_TRUE(items(QStringLiteral("statusDetails"), item(QStringLiteral("linkCard"))).isEmpty());
    bridge.link->status = "Advertising as Studio";
    bridge.link->fingerprint = "0a" + std::string(62, 'f');
    bridge.controller->linkStatusChanged();
    settle();
    EXPECT_EQ(text(item(QStringLiteral("statusValue"), item(QStringLiteral("linkCard")))),
              QStringLiteral("Advertising as Studio"));
    // The fingerprint people compare with what a browser or a device shows.
    QQuickItem* details = item(QStringLiteral("statusDetails"), item(QStringLiteral("linkCard")));
    ASSERT_NE(details, nullptr);
    const QString eight = QStringLiteral("FF") + QStringLiteral(":FF").repeated(7);
    EXPECT_EQ(text(details), QStringLiteral("Certificate SHA-256\n0A") +
                                 QStringLiteral(":FF").repeated(7) + QStringLiteral(":\n") +
                                 QStringList({eight, eight, eight}).join(QStringLiteral(":\n")));

    // Why nothing finds the bridge by name, and what to do, is shown whole.
    bridge.link->status = "Advertising failed: Daemon not running. Devices cannot find this "
                          "bridge by name, only by its address. To fix this, install avahi-daemon "
                          "and start it: sudo systemctl enable --now avahi-daemon";
    bridge.controller->linkStatusChanged();
    settle();
    QQuickItem* value = item(QStringLiteral("statusValue"), item(QStringLiteral("linkCard")));
    EXPECT_EQ(text(value), QString::fromStdString(bridge.link->status));
    EXPECT_FALSE(value->property("truncated").toBool());
}

// ---------------------------------------------------------------------------------------------
// Controls

TEST_F(BridgeWindowTest, RestartCallsTheController) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return bridge.appServer->starts.size() == 1; }, 30000));
    QQuickItem* restart = item(QStringLiteral("restartButton"));
    ASSERT_NE(restart, nullptr);
    // It floats inside the bottom-right corner of the third card.
    QQuickItem* devices = item(QStringLiteral("devicesCard"));
    const QPointF corner = devices->mapToScene(QPointF(devices->width(), devices->height()));
    const QPointF buttonCorner = restart->mapToScene(QPointF(restart->width(), restart->height()));
    EXPECT_DOUBLE_EQ(corner.x() - buttonCorner.x(), 8);
    EXPECT_DOUBLE_EQ(corner.y() - buttonCorner.y(), 8);
    click(restart);
    EXPECT_EQ(bridge.appServer->starts.size(), 2u);
    EXPECT_EQ(bridge.controller->logs().front(), "Restarting Codex app-server.");
}

TEST_F(BridgeWindowTest, SwitchTurnsLaunchAtLoginOnAndOffAndSpringsBackWhenRefused) {
    QQuickItem* toggle = item(QStringLiteral("launchAtLoginSwitch"));
    ASSERT_NE(toggle, nullptr);
    click(toggle);
    EXPECT_TRUE(bridge.controller->launchAtLogin());
    EXPECT_TRUE(toggle->property("checked").toBool());
    bridge.loginItems->fail = true;
    click(toggle);
    EXPECT_TRUE(toggle->property("checked").toBool());
    EXPECT_TRUE(bridge.controller->launchAtLogin());
    EXPECT_EQ(bridge.controller->logs().front(),
              "Launch at login could not be changed: Permission denied");
    // And it still follows the controller afterwards.
    bridge.loginItems->fail = false;
    click(toggle);
    EXPECT_FALSE(bridge.controller->launchAtLogin());
    EXPECT_FALSE(toggle->property("checked").toBool());
}

// ---------------------------------------------------------------------------------------------
// Text that devices choose

TEST_F(BridgeWindowTest, DeviceNamesCannotAddLines) {
    bridge.requestPairing("Ana\nRejected pairing from Ben.");
    settle();
    QQuickItem* name = item(QStringLiteral("requestName"));
    EXPECT_EQ(text(name), QStringLiteral("Ana\u240aRejected pairing from Ben."));
    EXPECT_EQ(name->property("lineCount").toInt(), 1);
    const QStringList lines = shownLogLines();
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_FALSE(lines.first().contains(u'\n'));
    EXPECT_TRUE(lines.first().contains(u'\u240a'));
}

TEST_F(BridgeWindowTest, TheApprovalWaitRowShowsTheLimitAndSetsIt) {
    ASSERT_NE(anyItem(QStringLiteral("approvalWait")), nullptr);
    EXPECT_FALSE(anyItem(QStringLiteral("approvalWait"))->isVisible()) << "hidden without settings";
    TemporaryDirectory folder;
    ApprovalSettings settings(bridge.controller->approvals(),
                              std::make_unique<QSettings>(
                                  QString::fromStdString((folder.path() / "defaults.ini").string()),
                                  QSettings::IniFormat));
    approvalSettings = &settings;
    view.reset();
    open();
    ASSERT_TRUE(item(QStringLiteral("approvalWait"))->isVisible());
    EXPECT_TRUE(item(QStringLiteral("approvalWait600"))->property("prominent").toBool());
    click(item(QStringLiteral("approvalWait0")));
    EXPECT_EQ(settings.waitSeconds(), 0);
    EXPECT_EQ(bridge.controller->approvals().waitLimit(), std::chrono::milliseconds(0));
    click(item(QStringLiteral("approvalWait-1")));
    EXPECT_EQ(bridge.controller->approvals().waitLimit(), std::nullopt);
    settle();
    EXPECT_TRUE(item(QStringLiteral("approvalWait-1"))->property("prominent").toBool());
    EXPECT_FALSE(item(QStringLiteral("approvalWait600"))->property("prominent").toBool());
}
