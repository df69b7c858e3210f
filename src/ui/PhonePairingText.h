#pragma once

#include "ui/QrCode.h"

#include <QString>
#include <QStringList>

namespace tarnwick {

// What the bridge says about connecting a phone, in the window's panel and in a terminal.
struct PhonePairingText {
    static constexpr const char* notReady =
        "Cannot connect a phone yet: the bridge is not listening on the local network or has no "
        "secure identity.";
    static constexpr const char* once = "The code works once, for 5 minutes.";

    // What a terminal prints for `address` (from BridgeController::openPhonePairing): the QR
    // code in half blocks drawn with `colours`, the address, a warning when a phone cannot
    // reach it, the certificate's fingerprint and how long it works.
    static QStringList terminalLines(const QString& address, const QString& fingerprint,
                                     QrCode::Colours colours);
    // Why a phone cannot open `address`, when it names this computer's loopback address (the
    // only one it had when the code was made); "" otherwise.
    static QString unreachableWarning(const QString& address);
};

} // namespace tarnwick
