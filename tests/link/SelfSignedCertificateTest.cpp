#include "link/SelfSignedCertificate.h"

#include "link/CertificateFingerprint.h"
#include "link/TlsIdentityStore.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QHostAddress>
#include <QSslCertificate>
#include <QSslKey>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <tuple>

using namespace tarnwick;

namespace {

template <auto release>
struct Free {
    void operator()(auto* object) const { release(object); }
};
using X509Free = Free<X509_free>;
using KeyFree = Free<EVP_PKEY_free>;

std::unique_ptr<X509, X509Free> parsed(const QSslCertificate& certificate) {
    const QByteArray der = certificate.toDer();
    const auto* data = reinterpret_cast<const unsigned char*>(der.constData());
    return std::unique_ptr<X509, X509Free>(d2i_X509(nullptr, &data, der.size()));
}

std::unique_ptr<EVP_PKEY, KeyFree> parsed(const QSslKey& key) {
    const QByteArray pem = key.toPem();
    std::unique_ptr<BIO, Free<BIO_free>> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    return std::unique_ptr<EVP_PKEY, KeyFree>(
        PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

} // namespace

// The longest peer name fits; each certificate is new, valid now and for a year; its fingerprint
// is the SHA-256 of its DER, grouped for people.
TEST(SelfSignedCertificate, CarriesThePeerNameAndAFreshP256Key) {
    EXPECT_EQ(certificateFingerprint(QSslCertificate()), "");
    EXPECT_EQ(groupedFingerprint("0a1bff"), "0A:1B:FF");
    const std::string wide = QStringLiteral("名").repeated(21).toStdString(); // 63 bytes
    for (const std::string& name : {std::string("Zoë's Mac-3F2A"), std::string(63, 'x'), wide}) {
        SCOPED_TRACE(name);
        auto identity = SelfSignedCertificate::make(name);
        ASSERT_TRUE(identity.hasValue()) << identity.error().description;
        EXPECT_EQ(identity->certificate.subjectInfo(QSslCertificate::CommonName),
                  QStringList{QString::fromStdString(name)});
        const QDateTime now = QDateTime::currentDateTimeUtc();
        EXPECT_LT(identity->certificate.effectiveDate(), now);
        EXPECT_GT(identity->certificate.expiryDate(), now.addDays(365));
        EXPECT_EQ(
            certificateFingerprint(identity->certificate),
            QCryptographicHash::hash(identity->certificate.toDer(), QCryptographicHash::Sha256)
                .toHex()
                .toStdString());

        auto certificate = parsed(identity->certificate);
        ASSERT_TRUE(certificate);
        EVP_PKEY* publicKey = X509_get0_pubkey(certificate.get());
        char group[64] = {};
        ASSERT_EQ(EVP_PKEY_get_utf8_string_param(publicKey, "group", group, sizeof group, nullptr),
                  1);
        EXPECT_STREQ(group, SN_X9_62_prime256v1);
        EXPECT_EQ(X509_verify(certificate.get(), publicKey), 1) << "self-signed";
        EXPECT_EQ(EVP_PKEY_eq(parsed(identity->privateKey).get(), publicKey), 1);

        auto again = SelfSignedCertificate::make(name);
        ASSERT_TRUE(again.hasValue());
        EXPECT_NE(again->privateKey.toPem(), identity->privateKey.toPem());
    }
}

// The persistent identity, checked by reading the file back with OpenSSL itself.
namespace {

using Clock = std::chrono::system_clock;

const CertificateNames lanNames{{"Studio", "studio.example.lan", "localhost"},
                                {"192.168.1.20", "fd00::20", "127.0.0.1", "::1"}};
// A whole second, as certificates keep time.
const Clock::time_point start = Clock::from_time_t(1'800'000'000);

class TlsIdentityStoreTest : public ::testing::Test {
protected:
    std::string fileText() const { return fileText(path); }
    std::string fileText(const std::string& where) const {
        QFile file(QString::fromStdString(where));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    }
    // The certificate that the file holds, as OpenSSL reads it.
    std::unique_ptr<X509, X509Free> storedCertificate() const {
        return parsed(QSslCertificate(QByteArray::fromStdString(fileText())));
    }
    QByteArray storedKey() const {
        return QSslCertificate(QByteArray::fromStdString(fileText())).publicKey().toDer();
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

// Made once, private; each later start keeps it, or renews it with the same key near expiry or
// when the names change.
TEST_F(TlsIdentityStoreTest, MakesAPrivateServerCertificateAndKeepsOrRenewsItWithTheSameKey) {
    auto made = TlsIdentityStore::loadOrCreate(path, "Studio-3F2A", lanNames, start);
    ASSERT_TRUE(made.hasValue()) << made.error().description;
    EXPECT_EQ(made->origin, TlsIdentityStore::Origin::created);
    EXPECT_EQ(modeOf(folder), 0700u);
    // Which names it carries, OpenSSL's verifier checks (TheAuthorityVouchesForThisComputer...).
    auto certificate = storedCertificate();
    ASSERT_TRUE(certificate);
    EXPECT_EQ(X509_get_extended_key_usage(certificate.get()), std::uint32_t(XKU_SSL_SERVER));
    EXPECT_EQ(X509_get_signature_nid(certificate.get()), NID_ecdsa_with_SHA256);
    const QSslCertificate& stored = made->identity.certificate;
    const qint64 notBefore = stored.effectiveDate().toSecsSinceEpoch();
    EXPECT_EQ(notBefore, Clock::to_time_t(start) - 24 * 3600);
    EXPECT_LE(stored.expiryDate().toSecsSinceEpoch() - notBefore, 397 * 24 * 3600);
    EXPECT_GT(stored.expiryDate().toSecsSinceEpoch(), Clock::to_time_t(start) + 365 * 24 * 3600);
    EXPECT_EQ(stored.toDer(), QSslCertificate(fileText().c_str()).toDer());
    const QByteArray key = storedKey();
    ASSERT_FALSE(key.isEmpty());

    CertificateNames moved = lanNames;
    moved.addresses[0] = "192.168.7.9";
    const auto later = start + std::chrono::hours(24 * 370); // 26 days before expiry
    using Origin = TlsIdentityStore::Origin;
    const std::vector<std::tuple<CertificateNames, Clock::time_point, Origin>> starts = {
        {lanNames, start + std::chrono::hours(24 * 300), Origin::loaded},
        {lanNames, later, Origin::renewed},                      // expires within 30 days
        {moved, later, Origin::renewed},                         // another address
        {moved, later + std::chrono::hours(1), Origin::loaded}}; // nothing changed
    for (const auto& [names, at, origin] : starts) {
        const QSslCertificate before = QSslCertificate(fileText().c_str());
        auto loaded = TlsIdentityStore::loadOrCreate(path, "Studio-3F2A", names, at);
        ASSERT_TRUE(loaded.hasValue()) << loaded.error().description;
        certificate = storedCertificate();
        EXPECT_EQ(storedKey(), key);
        EXPECT_EQ(
            X509_check_private_key(certificate.get(), parsed(loaded->identity.privateKey).get()),
            1);
        EXPECT_EQ(loaded->origin, origin);
        EXPECT_EQ(loaded->identity.certificate != before, origin == Origin::renewed);
        EXPECT_EQ(modeOf(path), 0600u);
        EXPECT_EQ(CertificateNames::of(loaded->identity.certificate), names.localOnly());
    }
    EXPECT_GT(QSslCertificate(fileText().c_str()).expiryDate(),
              QDateTime::fromSecsSinceEpoch(Clock::to_time_t(later)).addDays(365));
}

TEST_F(TlsIdentityStoreTest, RefusesAFileItCannotTrustAndLeavesItThere) {
    auto first = TlsIdentityStore::loadOrCreate(path, "A", lanNames, start);
    ASSERT_TRUE(first.hasValue());
    const std::string good = fileText();
    auto other = SelfSignedCertificate::make("B");
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

// A certificate for `alternativeName` ("DNS:example.com", "IP:8.8.8.8") signed by the key and
// certificate in the PEM `authority`, as someone who stole the authority's key would make it.
std::unique_ptr<X509, X509Free> forgedLeaf(const std::string& authorityPem,
                                           const std::string& alternativeName) {
    auto caKey = parsed(QSslKey(QByteArray::fromStdString(authorityPem), QSsl::Ec));
    auto ca = parsed(QSslCertificate(QByteArray::fromStdString(authorityPem)));
    std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    std::unique_ptr<X509, X509Free> leaf(X509_new());
    X509_set_version(leaf.get(), X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(leaf.get()), 7);
    X509_gmtime_adj(X509_getm_notBefore(leaf.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(leaf.get()), 3600);
    X509_set_issuer_name(leaf.get(), X509_get_subject_name(ca.get()));
    X509_NAME_add_entry_by_txt(X509_get_subject_name(leaf.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("forged"), -1, -1, 0);
    X509_set_pubkey(leaf.get(), key.get());
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, ca.get(), leaf.get(), nullptr, nullptr, 0);
    for (const auto& [nid, value] :
         {std::pair{NID_subject_alt_name, alternativeName},
          std::pair{NID_ext_key_usage, std::string("serverAuth")},
          std::pair{NID_authority_key_identifier, std::string("keyid:always")}}) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
        EXPECT_NE(extension, nullptr) << value;
        X509_add_ext(leaf.get(), extension, -1);
        X509_EXTENSION_free(extension);
    }
    EXPECT_GT(X509_sign(leaf.get(), caKey.get(), EVP_sha256()), 0);
    return leaf;
}

// What OpenSSL's verifier says of `leaf` for a TLS server at `host` (a name or an address),
// trusting only the authority.
int verified(X509* leaf, const QSslCertificate& authority, const std::string& host) {
    std::unique_ptr<X509_STORE, Free<X509_STORE_free>> store(X509_STORE_new());
    X509_STORE_add_cert(store.get(), parsed(authority).get());
    std::unique_ptr<X509_STORE_CTX, Free<X509_STORE_CTX_free>> context(X509_STORE_CTX_new());
    X509_STORE_CTX_init(context.get(), store.get(), leaf, nullptr);
    X509_VERIFY_PARAM* parameters = X509_STORE_CTX_get0_param(context.get());
    X509_VERIFY_PARAM_set_purpose(parameters, X509_PURPOSE_SSL_SERVER);
    if (QHostAddress(QString::fromStdString(host)).isNull()) {
        X509_VERIFY_PARAM_set1_host(parameters, host.c_str(), host.size());
    } else {
        X509_VERIFY_PARAM_set1_ip_asc(parameters, host.c_str());
    }
    X509_verify_cert(context.get());
    return X509_STORE_CTX_get_error(context.get());
}

TEST_F(TlsIdentityStoreTest, TheAuthorityVouchesForThisComputerAndForNoPublicName) {
    CertificateNames names = lanNames;
    names.addresses.push_back("203.0.113.7"); // public addresses are not the LAN's
    names.addresses.push_back("2001:db8::7");
    // Now, as OpenSSL's verifier checks the time too.
    auto made = TlsIdentityStore::loadOrCreate(path, "Studio-3F2A", names);
    ASSERT_TRUE(made.hasValue()) << made.error().description;
    const std::string authorityFile = TlsIdentityStore::authorityPath(path);
    EXPECT_EQ(modeOf(authorityFile), 0600u);
    const QSslCertificate& authority = made->identity.authority;
    ASSERT_FALSE(authority.isNull());
    EXPECT_EQ(made->authorityOrigin, TlsIdentityStore::Origin::created);
    auto ca = parsed(authority);
    const int constraints = X509_get_ext_by_NID(ca.get(), NID_name_constraints, -1);
    ASSERT_GE(constraints, 0);
    EXPECT_EQ(X509_EXTENSION_get_critical(X509_get_ext(ca.get(), constraints)), 1);
    EXPECT_EQ(SelfSignedCertificate::permittedHostNames(authority),
              (std::vector<std::string>{"localhost", "studio.example.lan"}));

    // The bridge's own certificate, for each way a phone names the computer; a public name in it
    // would fail them all against the authority's constraints.
    for (const char* host :
         {"studio.example.lan", "localhost", "192.168.1.20", "fd00::20", "127.0.0.1"}) {
        EXPECT_EQ(verified(parsed(made->identity.certificate).get(), authority, host), X509_V_OK)
            << host;
    }

    // Someone who stole the authority's key signs certificates of their own: only this
    // computer's names and the local ranges pass.
    const std::string authorityPem = fileText(authorityFile);
    const std::vector<std::tuple<std::string, std::string, int>> forgeries = {
        {"DNS:example.com", "example.com", X509_V_ERR_PERMITTED_VIOLATION},
        {"IP:8.8.8.8", "8.8.8.8", X509_V_ERR_PERMITTED_VIOLATION},
        {"IP:2001:4860::8888", "2001:4860::8888", X509_V_ERR_PERMITTED_VIOLATION},
        {"DNS:studio", "studio", X509_V_ERR_PERMITTED_VIOLATION},
        {"DNS:www.studio", "www.studio", X509_V_ERR_PERMITTED_VIOLATION}, // ".studio" is a TLD
        {"DNS:other.example.lan", "other.example.lan", X509_V_ERR_PERMITTED_VIOLATION},
        {"DNS:studio.example.lan.evil.com", "studio.example.lan.evil.com",
         X509_V_ERR_PERMITTED_VIOLATION},
        {"DNS:localhost,DNS:example.com", "localhost", X509_V_ERR_PERMITTED_VIOLATION},
        {"IP:10.1.2.3", "10.1.2.3", X509_V_OK}, // any computer of a private network
        {"DNS:studio.example.lan", "studio.example.lan", X509_V_OK},
    };
    for (const auto& [alternativeName, host, expected] : forgeries) {
        const int error =
            verified(forgedLeaf(authorityPem, alternativeName).get(), authority, host);
        EXPECT_EQ(error, expected)
            << alternativeName << ": " << X509_verify_cert_error_string(error);
    }
}

TEST_F(TlsIdentityStoreTest, AnIdentityFromBeforeTheAuthorityKeepsItsKeyAndGetsSigned) {
    // What an earlier bridge kept: a self-signed certificate, and no authority.
    auto old = SelfSignedCertificate::make("Studio-3F2A", lanNames, QSslKey(), start);
    ASSERT_TRUE(old.hasValue());
    ASSERT_EQ(::mkdir(home.filePath("share").toStdString().c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    writeFile((old->privateKey.toPem() + old->certificate.toPem()).toStdString());
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    const QByteArray key = old->certificate.publicKey().toDer();

    using Origin = TlsIdentityStore::Origin;
    auto upgraded = TlsIdentityStore::loadOrCreate(path, "Studio-3F2A", lanNames, start);
    ASSERT_TRUE(upgraded.hasValue()) << upgraded.error().description;
    EXPECT_EQ(upgraded->origin, Origin::renewed);
    EXPECT_EQ(upgraded->authorityOrigin, Origin::created);
    EXPECT_EQ(storedKey(), key) << "the key devices pinned";
    EXPECT_TRUE(SelfSignedCertificate::isIssuedBy(upgraded->identity.certificate,
                                                  upgraded->identity.authority));

    // Another name for the computer: the authority is renewed with its key, and the
    // certificate it signed still checks against it.
    CertificateNames renamed = lanNames;
    renamed.hostNames[1] = "studio.example.org";
    auto moved =
        TlsIdentityStore::loadOrCreate(path, "Studio-3F2A", renamed, start + std::chrono::hours(1));
    ASSERT_TRUE(moved.hasValue()) << moved.error().description;
    EXPECT_EQ(moved->authorityOrigin, Origin::renewed);
    EXPECT_EQ(moved->origin, Origin::renewed);
    EXPECT_EQ(moved->identity.authority.publicKey().toDer(),
              upgraded->identity.authority.publicKey().toDer());
    EXPECT_EQ(SelfSignedCertificate::permittedHostNames(moved->identity.authority),
              (std::vector<std::string>{"localhost", "studio.example.org"}));
    EXPECT_EQ(storedKey(), key);
}

} // namespace
