#include "link/SelfSignedCertificate.h"

#include <QSslCertificate>
#include <QSslKey>

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

using tarnwick::SelfSignedCertificate;
using tarnwick::TlsIdentity;

namespace {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};

std::unique_ptr<X509, X509Free> parsed(const QSslCertificate& certificate) {
    const QByteArray der = certificate.toDer();
    const auto* data = reinterpret_cast<const unsigned char*>(der.constData());
    return std::unique_ptr<X509, X509Free>(d2i_X509(nullptr, &data, der.size()));
}

std::unique_ptr<EVP_PKEY, KeyFree> parsed(const QSslKey& key) {
    const QByteArray pem = key.toPem();
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    return std::unique_ptr<EVP_PKEY, KeyFree>(
        PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

} // namespace

TEST(SelfSignedCertificate, CarriesThePeerNameAndAFreshP256Key) {
    const std::string name = "Zoë's Mac-3F2A";
    auto identity = SelfSignedCertificate::make(name);
    ASSERT_TRUE(identity.hasValue()) << identity.error().description;
    EXPECT_EQ(identity->certificate.subjectInfo(QSslCertificate::CommonName),
              QStringList{QString::fromStdString(name)});
    EXPECT_TRUE(identity->certificate.isSelfSigned());
    EXPECT_EQ(identity->privateKey.algorithm(), QSsl::Ec);
    EXPECT_EQ(identity->privateKey.type(), QSsl::PrivateKey);

    auto certificate = parsed(identity->certificate);
    ASSERT_TRUE(certificate);
    EVP_PKEY* publicKey = X509_get0_pubkey(certificate.get());
    ASSERT_NE(publicKey, nullptr);
    char group[64] = {};
    ASSERT_EQ(EVP_PKEY_get_utf8_string_param(publicKey, "group", group, sizeof group, nullptr), 1);
    EXPECT_STREQ(group, SN_X9_62_prime256v1);
    EXPECT_EQ(X509_verify(certificate.get(), publicKey), 1);
    EXPECT_EQ(X509_get_signature_nid(certificate.get()), NID_ecdsa_with_SHA256);

    auto privateKey = parsed(identity->privateKey);
    ASSERT_TRUE(privateKey);
    EXPECT_EQ(EVP_PKEY_eq(privateKey.get(), publicKey), 1);
}

TEST(SelfSignedCertificate, IsValidNowAndEveryOneIsNew) {
    auto first = SelfSignedCertificate::make("Studio-0000");
    auto second = SelfSignedCertificate::make("Studio-0000");
    ASSERT_TRUE(first.hasValue());
    ASSERT_TRUE(second.hasValue());
    const QDateTime now = QDateTime::currentDateTimeUtc();
    EXPECT_LT(first->certificate.effectiveDate(), now);
    EXPECT_GT(first->certificate.expiryDate(), now.addDays(365));
    EXPECT_NE(first->certificate.serialNumber(), second->certificate.serialNumber());
    EXPECT_NE(first->privateKey.toPem(), second->privateKey.toPem());
}

TEST(SelfSignedCertificate, TakesTheLongestPeerName) {
    std::string name;
    for (int i = 0; i < 21; ++i) {
        name += "名"; // 63 bytes, 21 characters
    }
    auto identity = SelfSignedCertificate::make(name);
    ASSERT_TRUE(identity.hasValue()) << identity.error().description;
    EXPECT_EQ(identity->certificate.subjectInfo(QSslCertificate::CommonName).value(0).toStdString(),
              name);
    EXPECT_TRUE(SelfSignedCertificate::make(std::string(63, 'x')).hasValue());
}
