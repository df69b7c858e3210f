#include "link/SelfSignedCertificate.h"

#include <QByteArray>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

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

using OwnedKey = Owned<EVP_PKEY, EVP_PKEY_free>;
using OwnedCertificate = Owned<X509, X509_free>;
using OwnedBio = Owned<BIO, freeBio>;
using OwnedBignum = Owned<BIGNUM, BN_free>;
using OwnedExtension = Owned<X509_EXTENSION, X509_EXTENSION_free>;

constexpr auto validBefore = std::chrono::hours(24);
constexpr auto validAfter = std::chrono::hours(24 * 397);

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

} // namespace

Expected<TlsIdentity, Error>
SelfSignedCertificate::make(const std::string& commonName,
                            std::chrono::system_clock::time_point now) {
    OwnedKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!key) {
        return failure("no P-256 key");
    }
    OwnedCertificate certificate(X509_new());
    if (!certificate || X509_set_version(certificate.get(), X509_VERSION_3) != 1 ||
        !setRandomSerial(certificate.get())) {
        return failure("no certificate");
    }
    if (!setTime(X509_getm_notBefore(certificate.get()), now - validBefore) ||
        !setTime(X509_getm_notAfter(certificate.get()), now + validAfter)) {
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
        !addExtension(certificate.get(), NID_ext_key_usage, "serverAuth,clientAuth") ||
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
