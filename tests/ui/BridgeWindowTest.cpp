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

using namespace Qt::StringLiterals;
using namespace tarnwick;
using namespace tarnwick::testing;

namespace {

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

    // The items named `name` below `below` (the window's content when null): the visible ones
    // unless `hidden` too.
    QList<QQuickItem*> items(QAnyStringView name, QQuickItem* below = nullptr,
                             bool hidden = false) const {
        QList<QQuickItem*> all;
        collect(below ? below : window()->contentItem(), all);
        QList<QQuickItem*> named;
        for (QQuickItem* item : all) {
            if (QAnyStringView::equal(item->objectName(), name) && (hidden || item->isVisible())) {
                named.append(item);
            }
        }
        return named;
    }

    QQuickItem* item(QAnyStringView name, QQuickItem* below = nullptr) const {
        const auto found = items(name, below);
        EXPECT_EQ(found.size(), 1) << "items named " << name.toString().toStdString();
        return found.isEmpty() ? nullptr : found.first();
    }

    static QString text(QQuickItem* item) {
        return item ? item->property("text").toString() : QString();
    }
    // The text of the one visible item named `name`, in `card` when given.
    QString shown(QAnyStringView name, QAnyStringView card = {}) const {
        return text(item(name, card.isNull() ? nullptr : item(card)));
    }

    // Top edge of an item in window coordinates.
    static qreal top(QQuickItem* item) { return item->mapToScene(QPointF(0, 0)).y(); }
    static qreal bottom(QQuickItem* item) {
        return item->mapToScene(QPointF(0, item->height())).y();
    }

    // Clicks the middle of `target` as a user would, scrolling it into view first.
    void click(QQuickItem* target) {
        ASSERT_NE(target, nullptr);
        QQuickItem* scroll = item("scrollArea");
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
        QQuickItem* box = item("activityLines");
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

void saveScreenshot(QQuickWindow* window, const char* name) {
    QDir().mkpath(QStringLiteral(TARNWICK_SCREENSHOT_DIR));
    const QString path = QStringLiteral(TARNWICK_SCREENSHOT_DIR "/%1.png").arg(QLatin1String(name));
    ASSERT_TRUE(window->grabWindow().save(path)) << path.toStdString();
}

} // namespace

TEST_F(BridgeWindowTest, StartsTheBridgeOnceWhenTheContentFirstAppears) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return bridge.link->starts == 1; }, 30000));
    window()->hide();
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window()));
    settle();
    EXPECT_EQ(bridge.link->starts, 1);
    EXPECT_EQ(bridge.appServer->starts.size(), 1u);
    // And a second launch brings it to the front.
    window()->showMinimized();
    view->bringToFront();
    EXPECT_TRUE(window()->isVisible());
    EXPECT_NE(window()->visibility(), QWindow::Minimized);
}

TEST_F(BridgeWindowTest, HasNoTitleAndEverythingFitsAtTheMinimumSize) {
    EXPECT_EQ(window()->title(), QString());
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
    saveScreenshot(window(), "minimum-size");
}

TEST_F(BridgeWindowTest, EachRequestIsACardBetweenStatusAndDevicesThatDecidesItsOwnRequest) {
    EXPECT_TRUE(items("pairing").isEmpty());
    QQuickItem* status = item("status");
    QQuickItem* trusted = item("trustedDevices");
    ASSERT_TRUE(status && trusted);
    EXPECT_DOUBLE_EQ(top(trusted), bottom(status) + 22);
    saveScreenshot(window(), "no-devices");

    auto& first = bridge.requestPairing("Ana's iPhone");
    auto& second = bridge.requestPairing("Ben's iPad");
    settle();
    QQuickItem* pairing = item("pairing");
    ASSERT_NE(pairing, nullptr);
    EXPECT_DOUBLE_EQ(top(pairing), bottom(status) + 22);
    EXPECT_DOUBLE_EQ(top(trusted), bottom(pairing) + 22);
    const auto names = items("requestName");
    ASSERT_EQ(names.size(), 2);
    EXPECT_EQ(text(names[0]), u"Ana's iPhone"_s);
    EXPECT_EQ(text(names[1]), u"Ben's iPad"_s);
    // Each card shows its request's code and the number the terminal and the command know.
    const auto& requests = bridge.controller->pairingRequests();
    for (int card = 0; card < 2; ++card) {
        EXPECT_EQ(text(items("requestCode")[card]), QString::fromStdString(requests[card].code));
        EXPECT_TRUE(text(items("requestHint")[card])
                        .startsWith(u"Request %1: "_s.arg(requests[card].serial)));
    }
    saveScreenshot(window(), "pairing-request");

    click(items("pairButton")[0]);
    EXPECT_TRUE(bridge.accepted(first));
    EXPECT_FALSE(bridge.accepted(second));
    ASSERT_EQ(items("requestName").size(), 1);
    EXPECT_EQ(shown("requestName"), u"Ben's iPad"_s);
    EXPECT_EQ(shown("statusValue", "devicesCard"), u"1 trusted"_s);
    ASSERT_EQ(items("deviceName").size(), 1);

    click(item("rejectButton"));
    EXPECT_TRUE(bridge.rejected(second));
    EXPECT_TRUE(items("pairing").isEmpty());
}

TEST_F(BridgeWindowTest, ConnectAPhoneShowsTheCodeTheAddressAndTheFingerprintUntilDone) {
    EXPECT_TRUE(items("deviceName").isEmpty());
    EXPECT_EQ(shown("statusValue", "devicesCard"), u"0 trusted"_s);
    EXPECT_EQ(shown("emptyDevicesHintText"),
              u"Connect a phone: press \"Connect a phone\" and scan the code with the phone's "
              "camera, or run tarnwick-device on another computer."_s);
    EXPECT_TRUE(items("phonePairingOverlay").isEmpty());
    bridge.link->web = "https://192.0.2.7:50123/";
    bridge.link->fingerprint = std::string(64, 'b');
    bridge.link->authority = std::string(64, 'd');
    emit bridge.controller->linkStatusChanged();
    click(item("connectPhoneButton"));
    ASSERT_EQ(items("phonePairingOverlay").size(), 1);
    saveScreenshot(window(), "connect-a-phone");

    QQuickItem* code = item("phoneQrCode");
    ASSERT_NE(code, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return code->property("status").toInt() == 1; }, 10000))
        << "the image is ready";
    const QSize picture = code->property("sourceSize").toSize();
    EXPECT_GT(picture.width(), 100);
    EXPECT_EQ(picture.width(), picture.height());
    const QString address = shown("phoneAddress");
    EXPECT_TRUE(address.startsWith(u"https://192.0.2.7:50123/#pair="_s)) << address.toStdString();
    EXPECT_EQ(address.size(), 30 + 43);
    // Broken only between pairs: four lines of eight.
    const QString eight = u"BB"_s + u":BB"_s.repeated(7);
    EXPECT_EQ(shown("phoneFingerprint"),
              u"Certificate SHA-256\n"_s +
                  QStringList({eight, eight, eight, eight}).join(u":\n"_s));
    EXPECT_TRUE(items("phoneWarning").isEmpty());
    EXPECT_EQ(shown("phoneOnce"), u"The code works once, for 5 minutes."_s);
    EXPECT_TRUE(shown("phoneTrustLine0").startsWith(u"Trust this computer on the phone: "_s));
    EXPECT_TRUE(shown("phoneTrustLine3").endsWith(u":DD:DD."_s));

    // Clicks do not reach the window below while the panel is open.
    click(item("connectPhoneButton"));
    EXPECT_EQ(shown("phoneAddress"), address);
    click(item("phoneDoneButton"));
    EXPECT_TRUE(items("phonePairingOverlay").isEmpty());
    // Opened again, it shows a new code: the old one was burnt with the panel.
    click(item("connectPhoneButton"));
    EXPECT_NE(shown("phoneAddress"), address);
    // A phone that pairs with the code closes the panel: the code is spent.
    emit bridge.controller->phonePaired();
    settle();
    EXPECT_TRUE(items("phonePairingOverlay").isEmpty());

    // A loopback address is out of a phone's reach, and the panel says what to do (in the words
    // TerminalFrontEndTest checks).
    bridge.link->web = "https://127.0.0.1:47600/";
    click(item("connectPhoneButton"));
    EXPECT_TRUE(shown("phoneWarning").startsWith(u"A phone cannot open this address"_s));
    click(item("phoneDoneButton"));

    // Without an address the panel says why instead of showing a code.
    bridge.link->web.clear();
    click(item("connectPhoneButton"));
    EXPECT_TRUE(items("phoneQrCode").isEmpty());
    EXPECT_EQ(
        shown("phoneNotReady"),
        u"Cannot connect a phone yet: the bridge is not listening on the local network or has "
        "no secure identity."_s);
}

TEST_F(BridgeWindowWithDevicesTest, ListsTrustedDevicesInOrderAndForgetsOne) {
    EXPECT_TRUE(items("emptyDevicesHint").isEmpty());
    EXPECT_EQ(shown("statusValue", "devicesCard"), u"3 trusted"_s);
    const auto names = items("deviceName");
    ASSERT_EQ(names.size(), 3);
    EXPECT_EQ(text(names[0]), u"Ana's iPhone"_s);
    EXPECT_EQ(text(names[1]), u"Mia's iPad"_s);
    EXPECT_EQ(text(names[2]), u"Studio iPhone"_s);
    // Ana's iPhone was the second stored, two days after the reference time.
    EXPECT_EQ(text(items("pairedLine")[0]), u"Paired Nov 30, 2025, 5:20 AM"_s);
    // All three paired with handshake version 1, and each card says so.
    const auto notes = items("versionNote");
    ASSERT_EQ(notes.size(), 3);
    EXPECT_EQ(
        text(notes[0]),
        u"paired with handshake version 1, which can be replayed: pair it again to upgrade"_s);

    click(items("forgetButton")[1]);
    EXPECT_FALSE(bridge.trustStore->peers.contains("DEVICE-1"));
    EXPECT_EQ(bridge.trustStore->peers.size(), 2u);
    EXPECT_EQ(items("deviceName").size(), 2);
    EXPECT_EQ(shown("statusValue", "devicesCard"), u"2 trusted"_s);
}

TEST_F(BridgeWindowWithDevicesTest, TheCeilingIsSetHereForEveryDeviceAndOnADevicesCard) {
    click(item("ceilingSandbox2"));
    EXPECT_EQ(bridge.controller->ceilings().everyDevice.sandbox, SandboxLevel::dangerFullAccess);
    EXPECT_TRUE(shown("ceilingMessage")
                    .startsWith(u"Devices may now let Codex run commands with no sandbox"_s));
    EXPECT_TRUE(items("ownCeiling").isEmpty());
    click(items("readOnlyButton")[1]);
    EXPECT_EQ(bridge.controller->ceilings().devices.at("DEVICE-1").sandbox, SandboxLevel::readOnly);
    EXPECT_TRUE(shown("ownCeiling").startsWith(u"own ceiling: at most read-only"_s));
    click(items("readOnlyButton")[1]);
    EXPECT_TRUE(bridge.controller->ceilings().devices.empty());
}

TEST_F(BridgeWindowWithDevicesTest, ShowsTheTenNewestLogLinesNewestFirst) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return bridge.link->starts == 1; }, 30000));
    for (int index = 1; index <= 15; ++index) {
        bridge.appServer->log("Line " + std::to_string(index));
    }
    const auto newest = [](int last) {
        QStringList lines;
        for (int index = last; index > last - 10; --index) {
            lines.append(u"Line %1"_s.arg(index));
        }
        return lines;
    };
    settle();
    EXPECT_EQ(shownLogLines(), newest(15));
    saveScreenshot(window(), "three-devices-fifteen-lines");
    bridge.appServer->log("Line 16");
    settle();
    EXPECT_EQ(shownLogLines(), newest(16));
}

TEST_F(BridgeWindowTest, StatusCardsFollowTheEngineAndTheLinkAndCutOnlyTheEnginesStatus) {
    QQuickItem* engine = item("engineCard");
    QQuickItem* symbol = item("statusSymbol", engine);
    ASSERT_NE(symbol, nullptr);
    EXPECT_EQ(symbol->property("color").value<QColor>(), QColor(u"#ff9f0a"_s));
    bridge.appServer->status("Codex app-server ready", true);
    settle();
    EXPECT_EQ(symbol->property("color").value<QColor>(), QColor(u"#30d158"_s));
    EXPECT_EQ(text(item("statusValue", engine)), u"Codex app-server ready"_s);

    // A long status is cut at two lines, and the cards stay at least 140 tall.
    EXPECT_GE(engine->height(), 140);
    const qreal shortHeight = engine->height();
    bridge.appServer->status(
        "Codex CLI was not found in /opt/homebrew/bin, /usr/local/bin, or the bridge PATH. Install "
        "it, then press Restart Codex to look again; the bridge keeps running meanwhile and "
        "devices stay connected while it waits for the engine to come back.",
        false);
    settle();
    QQuickItem* value = item("statusValue", engine);
    EXPECT_EQ(value->property("lineCount").toInt(), 2);
    EXPECT_TRUE(value->property("truncated").toBool());
    EXPECT_LE(engine->height(), shortHeight + 1);
    // All three cards share the row equally and are equally tall.
    QQuickItem* link = item("linkCard");
    QQuickItem* devices = item("devicesCard");
    EXPECT_DOUBLE_EQ(engine->width(), link->width());
    EXPECT_DOUBLE_EQ(link->width(), devices->width());
    EXPECT_DOUBLE_EQ(engine->height(), devices->height());

    // The link's card: no fingerprint yet, no line.
    EXPECT_TRUE(items("statusDetails", link).isEmpty());
    bridge.link->status = "Advertising as Studio";
    bridge.link->fingerprint = "0a" + std::string(62, 'f');
    bridge.controller->linkStatusChanged();
    settle();
    EXPECT_EQ(shown("statusValue", "linkCard"), u"Advertising as Studio"_s);
    // The fingerprint people compare with what a browser or a device shows.
    QQuickItem* details = item("statusDetails", link);
    ASSERT_NE(details, nullptr);
    const QString eight = u"FF"_s + u":FF"_s.repeated(7);
    EXPECT_EQ(text(details), u"Certificate SHA-256\n0A"_s + u":FF"_s.repeated(7) + u":\n"_s +
                                 QStringList({eight, eight, eight}).join(u":\n"_s));

    // Why nothing finds the bridge by name, and what to do, is shown whole.
    bridge.link->status = "Advertising failed: Daemon not running. Devices cannot find this bridge "
                          "by name, only by its address. To fix this, install avahi-daemon and "
                          "start it: sudo systemctl enable --now avahi-daemon";
    bridge.controller->linkStatusChanged();
    settle();
    QQuickItem* linkValue = item("statusValue", link);
    EXPECT_EQ(text(linkValue), QString::fromStdString(bridge.link->status));
    EXPECT_FALSE(linkValue->property("truncated").toBool());
}

TEST_F(BridgeWindowTest, RestartCallsTheController) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return bridge.appServer->starts.size() == 1; }, 30000));
    QQuickItem* restart = item("restartButton");
    ASSERT_NE(restart, nullptr);
    // It floats inside the bottom-right corner of the third card.
    QQuickItem* devices = item("devicesCard");
    const QPointF corner = devices->mapToScene(QPointF(devices->width(), devices->height()));
    const QPointF buttonCorner = restart->mapToScene(QPointF(restart->width(), restart->height()));
    EXPECT_DOUBLE_EQ(corner.x() - buttonCorner.x(), 8);
    EXPECT_DOUBLE_EQ(corner.y() - buttonCorner.y(), 8);
    click(restart);
    EXPECT_EQ(bridge.appServer->starts.size(), 2u);
}

TEST_F(BridgeWindowTest, SwitchTurnsLaunchAtLoginOnAndOffAndSpringsBackWhenRefused) {
    QQuickItem* toggle = item("launchAtLoginSwitch");
    ASSERT_NE(toggle, nullptr);
    click(toggle);
    EXPECT_TRUE(bridge.controller->launchAtLogin());
    EXPECT_TRUE(toggle->property("checked").toBool());
    bridge.loginItems->fail = true;
    click(toggle);
    EXPECT_TRUE(toggle->property("checked").toBool());
    EXPECT_TRUE(bridge.controller->launchAtLogin());
    // And it still follows the controller afterwards.
    bridge.loginItems->fail = false;
    click(toggle);
    EXPECT_FALSE(bridge.controller->launchAtLogin());
    EXPECT_FALSE(toggle->property("checked").toBool());
}

TEST_F(BridgeWindowTest, DeviceNamesCannotAddLines) {
    bridge.requestPairing("Ana\nRejected pairing from Ben.");
    settle();
    QQuickItem* name = item("requestName");
    EXPECT_EQ(text(name), u"Ana\u240aRejected pairing from Ben."_s);
    EXPECT_EQ(name->property("lineCount").toInt(), 1);
    const QStringList lines = shownLogLines();
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_FALSE(lines.first().contains(u'\n'));
    EXPECT_TRUE(lines.first().contains(u'\u240a'));
}

TEST_F(BridgeWindowTest, TheApprovalWaitRowShowsTheLimitAndSetsIt) {
    ASSERT_FALSE(items("approvalWait", nullptr, true).isEmpty());
    EXPECT_TRUE(items("approvalWait").isEmpty()) << "hidden without settings";
    TemporaryDirectory folder;
    ApprovalSettings settings(bridge.controller->approvals(),
                              std::make_unique<QSettings>(
                                  QString::fromStdString((folder.path() / "defaults.ini").string()),
                                  QSettings::IniFormat));
    approvalSettings = &settings;
    view.reset();
    open();
    ASSERT_TRUE(item("approvalWait")->isVisible());
    EXPECT_TRUE(item("approvalWait600")->property("prominent").toBool());
    click(item("approvalWait0"));
    EXPECT_EQ(settings.waitSeconds(), 0);
    EXPECT_EQ(bridge.controller->approvals().waitLimit(), std::chrono::milliseconds(0));
    click(item("approvalWait-1"));
    EXPECT_EQ(bridge.controller->approvals().waitLimit(), std::nullopt);
    settle();
    EXPECT_TRUE(item("approvalWait-1")->property("prominent").toBool());
    EXPECT_FALSE(item("approvalWait600")->property("prominent").toBool());
}
