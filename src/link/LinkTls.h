#pragma once

#include "link/SelfSignedCertificate.h"

#include <QSslCipher>
#include <QSslConfiguration>

namespace tarnwick {

// TLS settings of the link's sessions: TLS 1.3, or TLS 1.2 with forward-secret ECDHE key
// exchange and an AEAD cipher (AES-GCM, ChaCha20-Poly1305) only; no certificate check by the
// TLS stack either way: the device pins the bridge's certificate itself, and who a device is
// is proved above the link.
QSslConfiguration hostTlsConfiguration(const TlsIdentity& identity);
QSslConfiguration deviceTlsConfiguration();

// The cipher suites both configurations allow, of those this TLS library supports.
QList<QSslCipher> linkCiphers();

} // namespace tarnwick
