#include "link/SelfSignedCertificate.h"

#include "link/CertificateFingerprint.h"
#include "link/LinkTls.h"
#include "link/TlsIdentityStore.h"

#include <QDateTime>
#include <QFile>
#include <QHostAddress>
#include <QSslCertificate>
#include <QSslKey>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <tuple>

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

// The persistent identity, checked by reading the file back with OpenSSL itself.
namespace {

using tarnwick::CertificateNames;
using tarnwick::TlsIdentityStore;
using Clock = std::chrono::system_clock;

const CertificateNames lanNames{{"Studio", "studio.example.lan", "localhost"},
                                {"192.168.1.20", "fd00::20", "127.0.0.1", "::1"}};
// A whole second, as certificates keep time.
const Clock::time_point start = Clock::from_time_t(1'800'000'000);

std::vector<std::string> alternativeNames(X509* certificate) {
    std::vector<std::string> found;
    auto* names = static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        if (name->type == GEN_DNS) {
            found.push_back("DNS:" + std::string(reinterpret_cast<const char*>(
                                                     ASN1_STRING_get0_data(name->d.dNSName)),
                                                 ASN1_STRING_length(name->d.dNSName)));
        } else if (name->type == GEN_IPADD) {
            QByteArray bytes(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.ip)),
                             ASN1_STRING_length(name->d.ip));
            QHostAddress address;
            if (bytes.size() == 4) {
                address.setAddress(qFromBigEndian<quint32>(bytes.constData()));
            } else {
                address.setAddress(reinterpret_cast<const quint8*>(bytes.constData()));
            }
            found.push_back("IP:" + address.toString().toStdString());
        }
    }
    GENERAL_NAMES_free(names);
    std::sort(found.begin(), found.end());
    return found;
}

std::time_t secondsOf(const ASN1_TIME* time) {
    struct tm parts = {};
    EXPECT_EQ(ASN1_TIME_to_tm(time, &parts), 1);
    return timegm(&parts);
}

std::string publicKeyDer(X509* certificate) {
    unsigned char* der = nullptr;
    const int size = i2d_PUBKEY(X509_get0_pubkey(certificate), &der);
    std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(size));
    OPENSSL_free(der);
    return bytes;
}

class TlsIdentityStoreTest : public ::testing::Test {
protected:
    std::string fileText() const {
        QFile file(QString::fromStdString(path));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    }
    // The certificate that the file holds, as OpenSSL reads it.
    std::unique_ptr<X509, X509Free> storedCertificate() const {
        const std::string text = fileText();
        std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(text.data(), int(text.size())));
        return std::unique_ptr<X509, X509Free>(
            PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    }
    void writeFile(const std::string& text) const {
        QFile file(QString::fromStdString(path));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.data(), qint64(text.size()));
    }
    mode_t modeOf(const std::string& where) const {
        struct stat info = {};
        EXPECT_EQ(::stat(where.c_str(), &info), 0);
        return info.st_mode & 07777;
    }

    QTemporaryDir home;
    std::string folder = home.filePath("share/tarnwick-bridge").toStdString();
    std::string path = folder + "/tls-identity.pem";
};

TEST_F(TlsIdentityStoreTest, MakesAPrivateFileWithAServerCertificateForTheseNamesAndKeepsIt) {
    auto made = TlsIdentityStore::loadOrCreate(path, "Studio-3F2A", lanNames, start);
    ASSERT_TRUE(made.hasValue()) << made.error().description;
    EXPECT_EQ(made->origin, TlsIdentityStore::Origin::created);
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(modeOf(folder), 0700u);

    auto certificate = storedCertificate();
    ASSERT_TRUE(certificate);
    EXPECT_EQ(
        alternativeNames(certificate.get()),
        (std::vector<std::string>{"DNS:localhost", "DNS:studio", "DNS:studio.example.lan",
                                  "IP:127.0.0.1", "IP:192.168.1.20", "IP:::1", "IP:fd00::20"}));
    EXPECT_EQ(X509_get_extended_key_usage(certificate.get()), std::uint32_t(XKU_SSL_SERVER));
    EXPECT_EQ(X509_get_signature_nid(certificate.get()), NID_ecdsa_with_SHA256);
    const std::time_t notBefore = secondsOf(X509_get0_notBefore(certificate.get()));
    const std::time_t notAfter = secondsOf(X509_get0_notAfter(certificate.get()));
    EXPECT_EQ(notBefore, Clock::to_time_t(start) - 24 * 3600);
    EXPECT_LE(notAfter - notBefore, 397 * 24 * 3600);
    EXPECT_GT(notAfter, Clock::to_time_t(start) + 365 * 24 * 3600);
    EXPECT_EQ(made->identity.certificate.toDer(), QSslCertificate(fileText().c_str()).toDer());

    // The next start finds it and uses it as it is.
    auto again = TlsIdentityStore::loadOrCreate(path, "Studio-3F2A", lanNames,
                                                start + std::chrono::hours(24 * 300));
    ASSERT_TRUE(again.hasValue()) << again.error().description;
    EXPECT_EQ(again->origin, TlsIdentityStore::Origin::loaded);
    EXPECT_EQ(again->identity.certificate, made->identity.certificate);
    EXPECT_EQ(again->identity.privateKey.toPem(), made->identity.privateKey.toPem());
}

TEST_F(TlsIdentityStoreTest, RenewsWithTheSameKeyNearExpiryAndWhenTheNamesChange) {
    auto made = TlsIdentityStore::loadOrCreate(path, "Studio-3F2A", lanNames, start);
    ASSERT_TRUE(made.hasValue());
    const std::string key = publicKeyDer(storedCertificate().get());

    CertificateNames moved = lanNames;
    moved.addresses[0] = "192.168.7.9";
    const auto later = start + std::chrono::hours(24 * 370); // 26 days before expiry
    using Origin = TlsIdentityStore::Origin;
    const std::vector<std::tuple<CertificateNames, Clock::time_point, Origin>> starts = {
        {lanNames, later, Origin::renewed},                      // expires within 30 days
        {moved, later, Origin::renewed},                         // another address
        {moved, later + std::chrono::hours(1), Origin::loaded}}; // nothing changed
    for (const auto& [names, at, origin] : starts) {
        const QSslCertificate before = QSslCertificate(fileText().c_str());
        auto loaded = TlsIdentityStore::loadOrCreate(path, "Studio-3F2A", names, at);
        ASSERT_TRUE(loaded.hasValue()) << loaded.error().description;
        auto certificate = storedCertificate();
        EXPECT_EQ(publicKeyDer(certificate.get()), key);
        EXPECT_EQ(
            X509_check_private_key(certificate.get(), parsed(loaded->identity.privateKey).get()),
            1);
        EXPECT_EQ(loaded->origin, origin);
        EXPECT_EQ(loaded->identity.certificate != before, origin == Origin::renewed);
        EXPECT_EQ(modeOf(path), 0600u);
        EXPECT_EQ(CertificateNames::of(loaded->identity.certificate), names.normalised());
    }
    EXPECT_GT(QSslCertificate(fileText().c_str()).expiryDate(),
              QDateTime::fromSecsSinceEpoch(Clock::to_time_t(later)).addDays(365));
}

TEST_F(TlsIdentityStoreTest, RefusesAFileItCannotTrustAndLeavesItThere) {
    auto first = TlsIdentityStore::loadOrCreate(path, "A", lanNames, start);
    ASSERT_TRUE(first.hasValue());
    const std::string good = fileText();
    auto other = tarnwick::SelfSignedCertificate::make("B");
    ASSERT_TRUE(other.hasValue());
    const std::string keyOnly = first->identity.privateKey.toPem().toStdString();

    for (const std::string& damaged : {std::string("not a pem file"), keyOnly,
                                       keyOnly + other->certificate.toPem().toStdString(),
                                       good + std::string(TlsIdentityStore::maxFileSize, '\n')}) {
        writeFile(damaged);
        EXPECT_FALSE(TlsIdentityStore::loadOrCreate(path, "A", lanNames, start).hasValue());
        EXPECT_EQ(fileText(), damaged);
    }
    // Not through a link, which could point at another user's file.
    const std::string elsewhere = home.filePath("elsewhere.pem").toStdString();
    writeFile(good);
    ASSERT_EQ(::rename(path.c_str(), elsewhere.c_str()), 0);
    ASSERT_EQ(::symlink(elsewhere.c_str(), path.c_str()), 0);
    EXPECT_FALSE(TlsIdentityStore::loadOrCreate(path, "A", lanNames, start).hasValue());
    ASSERT_EQ(::unlink(path.c_str()), 0);

    // A loosened mode is closed again.
    writeFile(good);
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    auto loaded = TlsIdentityStore::loadOrCreate(path, "A", lanNames, start);
    ASSERT_TRUE(loaded.hasValue()) << loaded.error().description;
    EXPECT_EQ(loaded->identity.certificate, first->identity.certificate);
    EXPECT_EQ(modeOf(path), 0600u);
}

TEST(LinkTls, OffersOnlyTls13AndEcdheAeadSuitesAndNamesThisComputer) {
    auto identity = SelfSignedCertificate::make("Studio");
    ASSERT_TRUE(identity.hasValue());
    for (const QSslConfiguration& configuration :
         {tarnwick::hostTlsConfiguration(*identity), tarnwick::deviceTlsConfiguration()}) {
        EXPECT_EQ(configuration.protocol(), QSsl::TlsV1_2OrLater);
        const QList<QSslCipher> ciphers = configuration.ciphers();
        EXPECT_FALSE(ciphers.isEmpty());
        bool tls12 = false;
        for (const QSslCipher& cipher : ciphers) {
            const QString name = cipher.name();
            const bool aead = name.contains("GCM") || name.contains("CHACHA20-POLY1305") ||
                              name.contains("CHACHA20_POLY1305");
            EXPECT_TRUE(aead) << name.toStdString();
            if (!name.startsWith("TLS_")) {
                tls12 = true;
                EXPECT_TRUE(name.startsWith("ECDHE-")) << name.toStdString();
            }
        }
        EXPECT_TRUE(tls12);
    }
    const CertificateNames here = CertificateNames::ofThisComputer();
    for (const char* address : {"127.0.0.1", "::1"}) {
        EXPECT_NE(std::find(here.addresses.begin(), here.addresses.end(), address),
                  here.addresses.end());
    }
    EXPECT_NE(std::find(here.hostNames.begin(), here.hostNames.end(), "localhost"),
              here.hostNames.end());
}

TEST(CertificateFingerprint, IsTheSha256OfTheDerAndGroupsForPeople) {
    auto identity = SelfSignedCertificate::make("Studio");
    ASSERT_TRUE(identity.hasValue());
    auto certificate = parsed(identity->certificate);
    unsigned char digest[32];
    unsigned int size = 0;
    ASSERT_EQ(X509_digest(certificate.get(), EVP_sha256(), digest, &size), 1);
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    EXPECT_EQ(tarnwick::certificateFingerprint(identity->certificate), hex);
    EXPECT_EQ(tarnwick::certificateFingerprint(QSslCertificate()), "");
    EXPECT_EQ(tarnwick::groupedFingerprint("0a1bff"), "0A:1B:FF");
    EXPECT_EQ(tarnwick::groupedFingerprint(hex).size(), 95u);
}

} // namespace
