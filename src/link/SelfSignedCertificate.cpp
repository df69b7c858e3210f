#include "link/SelfSignedCertificate.h"

#include <QByteArray>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <ctime>
#include <memory>

namespace tarnwick {

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* object) const { Free(object); }
};
template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, Deleter<T, Free>>;

void freeBio(BIO* bio) {
    BIO_free(bio);
}
void freeNames(GENERAL_NAMES* names) {
    GENERAL_NAMES_free(names);
}

using OwnedKey = Owned<EVP_PKEY, EVP_PKEY_free>;
using OwnedCertificate = Owned<X509, X509_free>;
using OwnedBio = Owned<BIO, freeBio>;
using OwnedBignum = Owned<BIGNUM, BN_free>;
using OwnedExtension = Owned<X509_EXTENSION, X509_EXTENSION_free>;
using OwnedNames = Owned<GENERAL_NAMES, freeNames>;
using OwnedName = Owned<GENERAL_NAME, GENERAL_NAME_free>;

Unexpected<Error> failure(const char* what) {
    std::string description = "Could not make the TLS certificate: ";
    description += what;
    if (const unsigned long code = ERR_get_error(); code != 0) {
        char reason[256];
        ERR_error_string_n(code, reason, sizeof reason);
        description += " (";
        description += reason;
        description += ")";
    }
    ERR_clear_error();
    return Unexpected(Error{description});
}

QByteArray drained(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, static_cast<qsizetype>(size));
}

bool setTime(ASN1_TIME* field, std::chrono::system_clock::time_point at) {
    return ASN1_TIME_set(field, std::chrono::system_clock::to_time_t(at)) != nullptr;
}

bool setRandomSerial(X509* certificate) {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        return false;
    }
    bytes[0] &= 0x7F; // a positive serial number
    OwnedBignum serial(BN_bin2bn(bytes, sizeof bytes, nullptr));
    return serial && BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate));
}

// Letters, digits, "-" and "." only, as a DNS name in a certificate must be.
bool isDnsName(const std::string& name) {
    return !name.empty() && name.size() <= 253 && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
    });
}

bool pushName(GENERAL_NAMES* names, int type, ASN1_STRING* value) {
    OwnedName name(GENERAL_NAME_new());
    if (!name || !value) {
        ASN1_STRING_free(value);
        return false;
    }
    GENERAL_NAME_set0_value(name.get(), type, value);
    if (sk_GENERAL_NAME_push(names, name.get()) == 0) {
        return false;
    }
    name.release();
    return true;
}

bool addAlternativeNames(X509* certificate, const CertificateNames& wanted) {
    OwnedNames names(sk_GENERAL_NAME_new_null());
    if (!names) {
        return false;
    }
    for (const std::string& host : wanted.hostNames) {
        if (!isDnsName(host)) {
            continue;
        }
        ASN1_IA5STRING* text = ASN1_IA5STRING_new();
        if (text && ASN1_STRING_set(text, host.data(), static_cast<int>(host.size())) != 1) {
            ASN1_STRING_free(text);
            return false;
        }
        if (!pushName(names.get(), GEN_DNS, text)) {
            return false;
        }
    }
    for (const std::string& address : wanted.addresses) {
        ASN1_OCTET_STRING* bytes = a2i_IPADDRESS(address.c_str());
        if (!bytes) {
            ERR_clear_error();
            continue;
        }
        if (!pushName(names.get(), GEN_IPADD, bytes)) {
            return false;
        }
    }
    return sk_GENERAL_NAME_num(names.get()) == 0 ||
           X509_add1_ext_i2d(certificate, NID_subject_alt_name, names.get(), 0,
                             X509V3_ADD_DEFAULT) == 1;
}

OwnedKey keyFrom(const QSslKey& key) {
    if (key.isNull()) {
        return OwnedKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    }
    const QByteArray pem = key.toPem();
    OwnedBio bio(BIO_new_mem_buf(pem.constData(), static_cast<int>(pem.size())));
    OwnedKey parsed(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!parsed || !EVP_PKEY_is_a(parsed.get(), "EC")) {
        return nullptr;
    }
    char group[32] = {};
    if (EVP_PKEY_get_utf8_string_param(parsed.get(), "group", group, sizeof group, nullptr) != 1 ||
        std::string_view(group) != "prime256v1") {
        return nullptr;
    }
    return parsed;
}

std::string addressText(QHostAddress address) {
    address.setScopeId(QString());
    return address.toString().toStdString();
}

// The ranges a phone reaches this computer in: private, shared (carrier-grade NAT and mesh
// VPNs), link-local and loopback.
struct AddressRange {
    const char* network;
    int prefix;
};
constexpr std::array<AddressRange, 9> localRanges{{{"10.0.0.0", 8},
                                                   {"172.16.0.0", 12},
                                                   {"192.168.0.0", 16},
                                                   {"100.64.0.0", 10},
                                                   {"169.254.0.0", 16},
                                                   {"127.0.0.0", 8},
                                                   {"fc00::", 7},
                                                   {"fe80::", 10},
                                                   {"::1", 128}}};

bool isLocalAddress(const QHostAddress& address) {
    return std::any_of(localRanges.begin(), localRanges.end(), [&](const AddressRange& range) {
        return address.isInSubnet(QHostAddress(QString::fromLatin1(range.network)), range.prefix);
    });
}

// "network/mask" as the nameConstraints configuration writes an address range.
std::string rangeText(const AddressRange& range) {
    const QHostAddress network(QString::fromLatin1(range.network));
    QHostAddress mask;
    if (network.protocol() == QAbstractSocket::IPv4Protocol) {
        mask.setAddress(range.prefix == 0 ? 0u : ~0u << (32 - range.prefix));
    } else {
        Q_IPV6ADDR bytes{};
        for (int bit = 0; bit < range.prefix; ++bit) {
            bytes[bit / 8] = static_cast<quint8>(bytes[bit / 8] | (0x80 >> (bit % 8)));
        }
        mask.setAddress(bytes);
    }
    return std::string(range.network) + "/" + mask.toString().toStdString();
}

bool isHostNameForAuthority(const std::string& name) {
    return name == "localhost" || name.find('.') != std::string::npos;
}

OwnedCertificate x509Of(const QSslCertificate& certificate) {
    const QByteArray der = certificate.toDer();
    const auto* data = reinterpret_cast<const unsigned char*>(der.constData());
    return OwnedCertificate(der.isEmpty() ? nullptr : d2i_X509(nullptr, &data, der.size()));
}

// A new certificate for `key` with a random serial, a validity period and `commonName` as its
// subject, the issuer's subject as its issuer (its own without one).
Expected<OwnedCertificate, Error> startCertificate(const std::string& commonName, EVP_PKEY* key,
                                                   std::chrono::system_clock::time_point notBefore,
                                                   std::chrono::system_clock::time_point notAfter,
                                                   X509* issuer) {
    OwnedCertificate certificate(X509_new());
    if (!certificate || X509_set_version(certificate.get(), X509_VERSION_3) != 1 ||
        !setRandomSerial(certificate.get())) {
        return failure("no certificate");
    }
    if (!setTime(X509_getm_notBefore(certificate.get()), notBefore) ||
        !setTime(X509_getm_notAfter(certificate.get()), notAfter)) {
        return failure("no validity period");
    }
    X509_NAME* name = X509_get_subject_name(certificate.get());
    if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(commonName.data()),
                                   static_cast<int>(commonName.size()), -1, 0) != 1 ||
        X509_set_issuer_name(certificate.get(), issuer ? X509_get_subject_name(issuer) : name) !=
            1) {
        return failure("the common name was refused");
    }
    if (X509_set_pubkey(certificate.get(), key) != 1) {
        return failure("the key was refused");
    }
    return certificate;
}

bool addExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer ? issuer : certificate, certificate, nullptr, nullptr, 0);
    OwnedExtension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

// The certificate and its key as the TLS backend takes them.
Expected<TlsIdentity, Error> finished(X509* certificate, EVP_PKEY* key) {
    OwnedBio certificatePem(BIO_new(BIO_s_mem()));
    OwnedBio keyPem(BIO_new(BIO_s_mem()));
    if (!certificatePem || !keyPem || PEM_write_bio_X509(certificatePem.get(), certificate) != 1 ||
        PEM_write_bio_PrivateKey_traditional(keyPem.get(), key, nullptr, nullptr, 0, nullptr,
                                             nullptr) != 1) {
        return failure("encoding failed");
    }
    TlsIdentity identity{QSslCertificate(drained(certificatePem.get()), QSsl::Pem),
                         QSslKey(drained(keyPem.get()), QSsl::Ec, QSsl::Pem), QSslCertificate()};
    if (identity.certificate.isNull() || identity.privateKey.isNull()) {
        return failure("the TLS backend did not take it");
    }
    return identity;
}

} // namespace

CertificateNames CertificateNames::ofThisComputer() {
    CertificateNames names;
    const std::string shortName = QHostInfo::localHostName().toLower().toStdString();
    const std::string domain = QHostInfo::localDomainName().toLower().toStdString();
    names.hostNames.push_back("localhost");
    if (!shortName.empty()) {
        names.hostNames.push_back(shortName);
        if (!domain.empty()) {
            names.hostNames.push_back(shortName + "." + domain);
        }
        names.hostNames.push_back(shortName + ".local"); // its name on multicast DNS
    }
    names.addresses = {"127.0.0.1", "::1"};
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (!address.isLoopback()) {
            names.addresses.push_back(addressText(address));
        }
    }
    return names.normalised();
}

CertificateNames CertificateNames::of(const QSslCertificate& certificate) {
    CertificateNames names;
    const auto entries = certificate.subjectAlternativeNames();
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it.key() == QSsl::DnsEntry) {
            names.hostNames.push_back(it.value().toStdString());
        } else if (it.key() == QSsl::IpAddressEntry) {
            names.addresses.push_back(addressText(QHostAddress(it.value())));
        }
    }
    return names.normalised();
}

CertificateNames CertificateNames::normalised() const {
    CertificateNames out;
    for (const std::string& host : hostNames) {
        std::string lower = host;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (isDnsName(lower)) {
            out.hostNames.push_back(lower);
        }
    }
    for (const std::string& address : addresses) {
        QHostAddress parsed(QString::fromStdString(address));
        if (!parsed.isNull()) {
            out.addresses.push_back(addressText(parsed));
        }
    }
    for (auto* list : {&out.hostNames, &out.addresses}) {
        std::sort(list->begin(), list->end());
        list->erase(std::unique(list->begin(), list->end()), list->end());
    }
    return out;
}

CertificateNames CertificateNames::localOnly() const {
    CertificateNames out = normalised();
    std::erase_if(out.hostNames,
                  [](const std::string& name) { return !isHostNameForAuthority(name); });
    std::erase_if(out.addresses, [](const std::string& address) {
        return !isLocalAddress(QHostAddress(QString::fromStdString(address)));
    });
    return out;
}

Expected<TlsIdentity, Error>
SelfSignedCertificate::make(const std::string& commonName,
                            std::chrono::system_clock::time_point now) {
    return make(commonName, CertificateNames{{"localhost"}, {"127.0.0.1", "::1"}}, QSslKey(), now);
}

Expected<TlsIdentity, Error> SelfSignedCertificate::make(const std::string& commonName,
                                                         const CertificateNames& names,
                                                         const QSslKey& existingKey,
                                                         std::chrono::system_clock::time_point now,
                                                         const TlsIdentity* issuer) {
    OwnedKey key = keyFrom(existingKey);
    if (!key) {
        return failure(existingKey.isNull() ? "no P-256 key" : "the key is not a P-256 key");
    }
    OwnedCertificate issuerCertificate;
    OwnedKey issuerKey;
    if (issuer) {
        issuerCertificate = x509Of(issuer->certificate);
        issuerKey = issuer->privateKey.isNull() ? nullptr : keyFrom(issuer->privateKey);
        if (!issuerCertificate || !issuerKey) {
            return failure("the certificate authority is unusable");
        }
    }
    const auto notBefore = now - validBefore;
    auto notAfter = notBefore + validity;
    if (issuer) {
        const qint64 issuerEnd = issuer->certificate.expiryDate().toSecsSinceEpoch();
        notAfter = std::min(
            notAfter, std::chrono::system_clock::from_time_t(static_cast<std::time_t>(issuerEnd)));
    }
    auto started =
        startCertificate(commonName, key.get(), notBefore, notAfter, issuerCertificate.get());
    if (!started) {
        return Unexpected(started.error());
    }
    X509* certificate = started->get();
    X509* signer = issuerCertificate.get();
    if (!addExtension(certificate, signer, NID_basic_constraints, "critical,CA:FALSE") ||
        !addExtension(certificate, signer, NID_ext_key_usage, "serverAuth") ||
        (signer &&
         (!addExtension(certificate, signer, NID_key_usage, "critical,digitalSignature") ||
          !addExtension(certificate, signer, NID_subject_key_identifier, "hash") ||
          !addExtension(certificate, signer, NID_authority_key_identifier, "keyid:always"))) ||
        !addAlternativeNames(certificate, issuer ? names.localOnly() : names.normalised()) ||
        X509_sign(certificate, issuer ? issuerKey.get() : key.get(), EVP_sha256()) <= 0) {
        return failure("signing failed");
    }
    return finished(certificate, key.get());
}

Expected<TlsIdentity, Error>
SelfSignedCertificate::makeAuthority(const std::string& commonName, const CertificateNames& names,
                                     const QSslKey& existingKey,
                                     std::chrono::system_clock::time_point now) {
    OwnedKey key = keyFrom(existingKey);
    if (!key) {
        return failure(existingKey.isNull() ? "no P-256 key" : "the key is not a P-256 key");
    }
    const auto notBefore = now - validBefore;
    auto started =
        startCertificate(commonName, key.get(), notBefore, notBefore + authorityValidity, nullptr);
    if (!started) {
        return Unexpected(started.error());
    }
    X509* certificate = started->get();
    // Without a DNS subtree any host name would pass, so "localhost" is always there.
    std::string constraints = "critical,permitted;DNS:localhost";
    for (const std::string& host : names.localOnly().hostNames) {
        if (host != "localhost") {
            constraints += ",permitted;DNS:" + host;
        }
    }
    for (const AddressRange& range : localRanges) {
        constraints += ",permitted;IP:" + rangeText(range);
    }
    if (!addExtension(certificate, nullptr, NID_basic_constraints, "critical,CA:TRUE,pathlen:0") ||
        !addExtension(certificate, nullptr, NID_key_usage, "critical,keyCertSign,cRLSign") ||
        !addExtension(certificate, nullptr, NID_ext_key_usage, "serverAuth") ||
        !addExtension(certificate, nullptr, NID_subject_key_identifier, "hash") ||
        !addExtension(certificate, nullptr, NID_name_constraints, constraints) ||
        X509_sign(certificate, key.get(), EVP_sha256()) <= 0) {
        return failure("signing the certificate authority failed");
    }
    return finished(certificate, key.get());
}

std::vector<std::string>
SelfSignedCertificate::permittedHostNames(const QSslCertificate& authority) {
    std::vector<std::string> permitted;
    OwnedCertificate certificate = x509Of(authority);
    auto* constraints = certificate
                            ? static_cast<NAME_CONSTRAINTS*>(X509_get_ext_d2i(
                                  certificate.get(), NID_name_constraints, nullptr, nullptr))
                            : nullptr;
    for (int i = 0; constraints && i < sk_GENERAL_SUBTREE_num(constraints->permittedSubtrees);
         ++i) {
        const GENERAL_NAME* base =
            sk_GENERAL_SUBTREE_value(constraints->permittedSubtrees, i)->base;
        if (base->type == GEN_DNS) {
            permitted.emplace_back(
                reinterpret_cast<const char*>(ASN1_STRING_get0_data(base->d.dNSName)),
                static_cast<std::size_t>(ASN1_STRING_length(base->d.dNSName)));
        }
    }
    NAME_CONSTRAINTS_free(constraints);
    std::sort(permitted.begin(), permitted.end());
    return permitted;
}

bool SelfSignedCertificate::isIssuedBy(const QSslCertificate& certificate,
                                       const QSslCertificate& authority) {
    OwnedCertificate leaf = x509Of(certificate);
    OwnedCertificate issuer = x509Of(authority);
    const bool issued = leaf && issuer &&
                        X509_check_issued(issuer.get(), leaf.get()) == X509_V_OK &&
                        X509_verify(leaf.get(), X509_get0_pubkey(issuer.get())) == 1;
    ERR_clear_error();
    return issued;
}

} // namespace tarnwick
