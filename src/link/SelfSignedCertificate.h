#pragma once

#include "platform/Error.h"
#include "platform/Expected.h"

#include <QSslCertificate>
#include <QSslKey>

#include <chrono>
#include <string>

namespace tarnwick {

// A TLS certificate with its private key, as the link's TLS session presents it.
struct TlsIdentity {
    QSslCertificate certificate;
    QSslKey privateKey;
};

// Makes a fresh TLS identity for one run of the link: a new P-256 key and a self-signed
// certificate whose common name is the peer name. Devices do not verify it; it exists so that
// every session is encrypted.
class SelfSignedCertificate {
public:
    static Expected<TlsIdentity, Error>
    make(const std::string& commonName,
         std::chrono::system_clock::time_point now = std::chrono::system_clock::now());
};

} // namespace tarnwick
