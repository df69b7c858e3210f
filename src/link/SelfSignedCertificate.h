#pragma once

#include "platform/Error.h"
#include "platform/Expected.h"

#include <QSslCertificate>
#include <QSslKey>

#include <chrono>
#include <string>
#include <vector>

namespace tarnwick {

// A TLS certificate with its private key, as the link's TLS session presents it.
struct TlsIdentity {
    QSslCertificate certificate;
    QSslKey privateKey;
};

// The subjectAltName entries of a certificate: host names (DNS) and addresses (IP, in
// QHostAddress's text form, without a scope).
struct CertificateNames {
    std::vector<std::string> hostNames;
    std::vector<std::string> addresses;

    // This computer's: its short and full host names and "localhost", its non-loopback
    // addresses, and 127.0.0.1 and ::1.
    static CertificateNames ofThisComputer();
    // The entries `certificate` carries.
    static CertificateNames of(const QSslCertificate& certificate);

    // Sorted and without repeats, host names lower-case; what two sets are compared as.
    CertificateNames normalised() const;

    friend bool operator==(const CertificateNames&, const CertificateNames&) = default;
};

// Makes self-signed certificates for the link: P-256, SHA-256, serverAuth, valid from a day
// before `now` for 397 days in all (the most browsers accept), with the given names.
class SelfSignedCertificate {
public:
    static constexpr auto validBefore = std::chrono::hours(24);
    static constexpr auto validity = std::chrono::hours(24 * 397);

    // A new key and a certificate naming only "localhost" and the loopback addresses.
    static Expected<TlsIdentity, Error>
    make(const std::string& commonName,
         std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

    // A certificate for `key`, or for a new key when `key` is null, naming `names` normalised:
    // host names lower-case, those that are not plain ASCII DNS names and addresses that do
    // not parse left out.
    static Expected<TlsIdentity, Error>
    make(const std::string& commonName, const CertificateNames& names, const QSslKey& key,
         std::chrono::system_clock::time_point now = std::chrono::system_clock::now());
};

} // namespace tarnwick
