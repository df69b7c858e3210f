#include "link/LinkTls.h"

#include <QSslSocket>

#include <array>

namespace tarnwick {

namespace {

// TLS 1.3's suites are all AEAD with ephemeral key exchange; for TLS 1.2 these are the ECDHE
// suites with AES-GCM or ChaCha20-Poly1305, leaving out CBC, static RSA and plain DH.
constexpr std::array allowedCiphers = {
    "TLS_AES_256_GCM_SHA384",        "TLS_CHACHA20_POLY1305_SHA256",
    "TLS_AES_128_GCM_SHA256",        "ECDHE-ECDSA-AES256-GCM-SHA384",
    "ECDHE-ECDSA-CHACHA20-POLY1305", "ECDHE-ECDSA-AES128-GCM-SHA256",
    "ECDHE-RSA-AES256-GCM-SHA384",   "ECDHE-RSA-CHACHA20-POLY1305",
    "ECDHE-RSA-AES128-GCM-SHA256",
};

QSslConfiguration linkConfiguration() {
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setCiphers(linkCiphers());
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    return configuration;
}

} // namespace

QList<QSslCipher> linkCiphers() {
    const QList<QSslCipher> supported = QSslConfiguration::supportedCiphers();
    QList<QSslCipher> ciphers;
    for (const char* name : allowedCiphers) {
        for (const QSslCipher& cipher : supported) {
            if (cipher.name() == QLatin1String(name) && !ciphers.contains(cipher)) {
                ciphers.push_back(cipher);
            }
        }
    }
    return ciphers;
}

QSslConfiguration hostTlsConfiguration(const TlsIdentity& identity) {
    QSslConfiguration configuration = linkConfiguration();
    // The authority goes after the certificate, so that a phone that installed it can build the
    // chain whatever it kept.
    QList<QSslCertificate> chain{identity.certificate};
    if (!identity.authority.isNull()) {
        chain.push_back(identity.authority);
    }
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(identity.privateKey);
    return configuration;
}

QSslConfiguration deviceTlsConfiguration() {
    return linkConfiguration();
}

} // namespace tarnwick
