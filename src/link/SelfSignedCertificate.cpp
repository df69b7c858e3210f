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
#include <cctype>
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

bool addExtension(X509* certificate, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    OwnedExtension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
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

Expected<TlsIdentity, Error>
SelfSignedCertificate::make(const std::string& commonName,
                            std::chrono::system_clock::time_point now) {
    return make(commonName, CertificateNames{{"localhost"}, {"127.0.0.1", "::1"}}, QSslKey(), now);
}

Expected<TlsIdentity, Error>
SelfSignedCertificate::make(const std::string& commonName, const CertificateNames& names,
                            const QSslKey& existingKey, std::chrono::system_clock::time_point now) {
    OwnedKey key = keyFrom(existingKey);
    if (!key) {
        return failure(existingKey.isNull() ? "no P-256 key" : "the key is not a P-256 key");
    }
    OwnedCertificate certificate(X509_new());
    if (!certificate || X509_set_version(certificate.get(), X509_VERSION_3) != 1 ||
        !setRandomSerial(certificate.get())) {
        return failure("no certificate");
    }
    const auto notBefore = now - validBefore;
    if (!setTime(X509_getm_notBefore(certificate.get()), notBefore) ||
        !setTime(X509_getm_notAfter(certificate.get()), notBefore + validity)) {
        return failure("no validity period");
    }
    X509_NAME* name = X509_get_subject_name(certificate.get());
    if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(commonName.data()),
                                   static_cast<int>(commonName.size()), -1, 0) != 1 ||
        X509_set_issuer_name(certificate.get(), name) != 1) {
        return failure("the common name was refused");
    }
    if (X509_set_pubkey(certificate.get(), key.get()) != 1 ||
        !addExtension(certificate.get(), NID_basic_constraints, "critical,CA:FALSE") ||
        !addExtension(certificate.get(), NID_ext_key_usage, "serverAuth") ||
        !addAlternativeNames(certificate.get(), names.normalised()) ||
        X509_sign(certificate.get(), key.get(), EVP_sha256()) <= 0) {
        return failure("signing failed");
    }

    OwnedBio certificatePem(BIO_new(BIO_s_mem()));
    OwnedBio keyPem(BIO_new(BIO_s_mem()));
    if (!certificatePem || !keyPem ||
        PEM_write_bio_X509(certificatePem.get(), certificate.get()) != 1 ||
        PEM_write_bio_PrivateKey_traditional(keyPem.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                             nullptr) != 1) {
        return failure("encoding failed");
    }
    TlsIdentity identity{QSslCertificate(drained(certificatePem.get()), QSsl::Pem),
                         QSslKey(drained(keyPem.get()), QSsl::Ec, QSsl::Pem)};
    if (identity.certificate.isNull() || identity.privateKey.isNull()) {
        return failure("the TLS backend did not take it");
    }
    return identity;
}

} // namespace tarnwick
