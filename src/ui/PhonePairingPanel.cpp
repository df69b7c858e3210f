#include "ui/PhonePairingPanel.h"

#include "bridge/BridgeController.h"
#include "ui/QrImage.h"
#include "ui/UiLog.h"

namespace tarnwick {

namespace {

// Pixels per module of the window's image: a code of about 40 modules is some 300 pixels wide.
constexpr int imageScale = 6;

} // namespace

PhonePairingPanel::PhonePairingPanel(BridgeController& controller, QObject* parent)
    : QObject(parent), controller_(controller) {
    // Its code paired a phone and is burnt: the panel has nothing more to show.
    connect(&controller_, &BridgeController::phonePaired, this, &PhonePairingPanel::close);
}

PhonePairingPanel::~PhonePairingPanel() {
    if (open_) {
        controller_.closePhonePairing();
    }
}

void PhonePairingPanel::show() {
    address_ = controller_.openPhonePairing();
    warning_ = PhonePairingText::unreachableWarning(address_);
    image_.clear();
    if (!address_.isEmpty()) {
        if (auto code = QrCode::encode(address_.toStdString())) {
            image_ = qrPngDataUrl(*code, imageScale);
        } else {
            qCWarning(uiLog).noquote() << QString::fromStdString(code.error().description);
        }
    }
    open_ = true;
    emit changed();
}

void PhonePairingPanel::close() {
    controller_.closePhonePairing();
    if (open_) {
        open_ = false;
        address_.clear();
        warning_.clear();
        image_.clear();
        emit changed();
    }
}

QStringList PhonePairingPanel::trustLines() const {
    return PhonePairingText::trustLines(address_, controller_.authorityFingerprint());
}

} // namespace tarnwick
