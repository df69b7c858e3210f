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
    static constexpr const char* trustTitle = "Trust this computer on the phone";
    static constexpr const char* trustWhy =
        "Once, on each phone: then the phone verifies the computer, and someone in between "
        "meets an error instead of a certificate warning.";
    static constexpr const char* iosSteps =
        "iPhone or iPad: open %1 in Safari, tap Download the profile, install it in Settings > "
        "General > VPN & Device Management, then turn it on in Settings > General > About > "
        "Certificate Trust Settings (enable full trust).";
    static constexpr const char* androidSteps =
        "Android: open %1, tap Download the certificate, then Settings > Security > Encryption & "
        "credentials > Install a certificate > CA certificate, and pick "
        "tarnwick-bridge-ca.crt.";
    static constexpr const char* compare =
        "The phone's settings show the certificate's SHA-256: it must be %1.";

    // The page that offers the trust step: the page's address without the QR code's secret,
    // then "trust".
    static QString trustAddress(const QString& address);
    // The trust step for `address` and the authority's fingerprint; none without one.
    static QStringList trustLines(const QString& address, const QString& authorityFingerprint);

    // What a terminal prints for `address` (from BridgeController::openPhonePairing): the QR
    // code in half blocks drawn with `colours`, the address, a warning when a phone cannot
    // reach it, the certificate's fingerprint, how long it works and the trust step.
    static QStringList terminalLines(const QString& address, const QString& fingerprint,
                                     const QString& authorityFingerprint, QrCode::Colours colours);
    // Why a phone cannot open `address`, when it names this computer's loopback address (the
    // only one it had when the code was made); "" otherwise.
    static QString unreachableWarning(const QString& address);
};

} // namespace tarnwick
