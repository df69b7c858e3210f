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
    // The certificate authority that signed `certificate`, sent after it in the handshake;
    // null for a self-signed certificate.
    QSslCertificate authority;
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
    // Normalised, and only what this computer's certificate authority may vouch for: host
    // names with a dot, and "localhost"; addresses in the private, shared, link-local and
    // loopback ranges. A name constraint for a name also allows every name under it, so a
    // bare host name ("dev") would allow a public top-level domain and is left out.
    CertificateNames localOnly() const;

    friend bool operator==(const CertificateNames&, const CertificateNames&) = default;
};

// Makes the link's certificates: P-256, SHA-256, serverAuth, valid from a day before `now` for
// 397 days in all (the most browsers accept), with the given names; self-signed, or signed by
// this computer's certificate authority, which it makes too.
class SelfSignedCertificate {
public:
    static constexpr auto validBefore = std::chrono::hours(24);
    static constexpr auto validity = std::chrono::hours(24 * 397);
    // A phone keeps the authority as a trust anchor: it lasts ten years.
    static constexpr auto authorityValidity = std::chrono::hours(24 * 3650);

    // A new key and a certificate naming only "localhost" and the loopback addresses.
    static Expected<TlsIdentity, Error>
    make(const std::string& commonName,
         std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

    // A certificate for `key`, or for a new key when `key` is null, naming `names` normalised:
    // host names lower-case, those that are not plain ASCII DNS names and addresses that do
    // not parse left out.
    // Signed by `issuer` (an authority from makeAuthority) when it is given, and then valid no
    // longer than the issuer.
    static Expected<TlsIdentity, Error>
    make(const std::string& commonName, const CertificateNames& names, const QSslKey& key,
         std::chrono::system_clock::time_point now = std::chrono::system_clock::now(),
         const TlsIdentity* issuer = nullptr);

    // A certificate authority for `key` (a new one when null), valid for authorityValidity: it
    // may sign server certificates only, with no authority below it, and only for the host
    // names of `names.localOnly()` and the private, shared, link-local and loopback address
    // ranges (critical name constraints), so that even with its key nobody can pass for a
    // public site.
    static Expected<TlsIdentity, Error>
    makeAuthority(const std::string& commonName, const CertificateNames& names, const QSslKey& key,
                  std::chrono::system_clock::time_point now = std::chrono::system_clock::now());
    // The host names an authority's name constraints permit, sorted; empty for a certificate
    // without them.
    static std::vector<std::string> permittedHostNames(const QSslCertificate& authority);
    // Whether `certificate` was signed by the key of `authority` and names it as its issuer.
    static bool isIssuedBy(const QSslCertificate& certificate, const QSslCertificate& authority);
};

} // namespace tarnwick
