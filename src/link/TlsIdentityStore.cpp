#include "link/TlsIdentityStore.h"

#include "link/LinkLog.h"
#include "platform/AtomicFile.h"

#include <QDateTime>

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace tarnwick {

namespace {

constexpr mode_t fileMode = 0600;
constexpr mode_t folderMode = 0700;

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* object) const { Free(object); }
};
void freeBio(BIO* bio) {
    BIO_free(bio);
}
using OwnedBio = std::unique_ptr<BIO, Deleter<BIO, freeBio>>;
using OwnedKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using OwnedCertificate = std::unique_ptr<X509, Deleter<X509, X509_free>>;

Unexpected<Error> failure(const std::string& path, const std::string& why) {
    ERR_clear_error();
    return Unexpected(Error{"Could not use the TLS identity in " + path + ": " + why + "."});
}

// The file's bytes, or nothing when there is no file. A link, another owner's file, a file
// that is not regular or one larger than the limit is refused before it is read.
Expected<std::optional<std::string>, Error> readOwnFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return std::optional<std::string>();
        }
        return failure(path, std::strerror(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info = {};
    if (::fstat(fd, &info) != 0) {
        return failure(path, std::strerror(errno));
    }
    if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        return failure(path, "it is not a regular file of this user");
    }
    if (static_cast<std::size_t>(info.st_size) > TlsIdentityStore::maxFileSize) {
        return failure(path, "the file is too large");
    }
    if ((info.st_mode & 077) != 0) {
        // Someone loosened it; the key may have been read, but closing it again is all we can do.
        qCWarning(linkLog, "The TLS identity file %s was readable by others; it is now 0600.",
                  path.c_str());
        if (::fchmod(fd, fileMode) != 0) {
            return failure(path, std::strerror(errno));
        }
    }
    std::string bytes(TlsIdentityStore::maxFileSize + 1, '\0');
    std::size_t size = 0;
    while (size < bytes.size()) {
        const ssize_t count = ::read(fd, bytes.data() + size, bytes.size() - size);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return failure(path, std::strerror(errno));
        }
        if (count == 0) {
            break;
        }
        size += static_cast<std::size_t>(count);
    }
    if (size > TlsIdentityStore::maxFileSize) {
        return failure(path, "the file is too large");
    }
    bytes.resize(size);
    return std::optional<std::string>(std::move(bytes));
}

// The key and certificate PEM blocks of `bytes`, checked to belong together.
Expected<TlsIdentity, Error> parse(const std::string& path, const std::string& bytes) {
    OwnedBio keyBio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    OwnedBio certificateBio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    OwnedKey key(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr)
                        : nullptr);
    OwnedCertificate certificate(
        certificateBio ? PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr)
                       : nullptr);
    if (!key || !certificate) {
        return failure(path, "it does not hold a key and a certificate");
    }
    if (X509_check_private_key(certificate.get(), key.get()) != 1) {
        return failure(path, "the certificate is not for the key");
    }
    OwnedBio keyPem(BIO_new(BIO_s_mem()));
    OwnedBio certificatePem(BIO_new(BIO_s_mem()));
    if (!keyPem || !certificatePem ||
        PEM_write_bio_PrivateKey_traditional(keyPem.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                             nullptr) != 1 ||
        PEM_write_bio_X509(certificatePem.get(), certificate.get()) != 1) {
        return failure(path, "it could not be encoded again");
    }
    char* data = nullptr;
    long size = BIO_get_mem_data(keyPem.get(), &data);
    QSslKey qtKey(QByteArray(data, static_cast<qsizetype>(size)), QSsl::Ec, QSsl::Pem);
    size = BIO_get_mem_data(certificatePem.get(), &data);
    QSslCertificate qtCertificate(QByteArray(data, static_cast<qsizetype>(size)), QSsl::Pem);
    if (qtKey.isNull() || qtCertificate.isNull()) {
        return failure(path, "the key is not a P-256 key");
    }
    return TlsIdentity{qtCertificate, qtKey, QSslCertificate()};
}

Expected<void, Error> save(const std::string& path, const TlsIdentity& identity) {
    QByteArray bytes = identity.privateKey.toPem() + identity.certificate.toPem();
    auto written = writeFileAtomically(path, std::string_view(bytes.constData(), bytes.size()),
                                       fileMode, folderMode);
    bytes.fill('\0');
    if (!written) {
        return Unexpected(Error{"Could not save the TLS identity in " + path + ": " +
                                written.error().description + "."});
    }
    return {};
}

QDateTime dateTimeOf(std::chrono::system_clock::time_point at) {
    return QDateTime::fromSecsSinceEpoch(
        std::chrono::duration_cast<std::chrono::seconds>(at.time_since_epoch()).count(), Qt::UTC);
}

// Why the certificate must be renewed, or nothing when it serves as it is.
const char* renewalReason(const TlsIdentity& identity, const CertificateNames& names,
                          std::chrono::system_clock::time_point now) {
    const QSslCertificate& certificate = identity.certificate;
    if (certificate.expiryDate() <= dateTimeOf(now + TlsIdentityStore::renewWithin)) {
        return "it expires within 30 days";
    }
    if (certificate.effectiveDate() > dateTimeOf(now)) {
        return "it is not valid yet";
    }
    if (CertificateNames::of(certificate) != names.localOnly()) {
        return "the host names or addresses changed";
    }
    if (!SelfSignedCertificate::isIssuedBy(certificate, identity.authority)) {
        return "this computer's certificate authority did not sign it";
    }
    return nullptr;
}

std::vector<std::string> authorityHostNames(const CertificateNames& names) {
    std::vector<std::string> hosts = names.localOnly().hostNames;
    hosts.emplace_back("localhost");
    std::sort(hosts.begin(), hosts.end());
    hosts.erase(std::unique(hosts.begin(), hosts.end()), hosts.end());
    return hosts;
}

const char* authorityRenewalReason(const QSslCertificate& authority, const CertificateNames& names,
                                   std::chrono::system_clock::time_point now) {
    if (authority.expiryDate() <=
        dateTimeOf(now + SelfSignedCertificate::validity + TlsIdentityStore::renewWithin)) {
        return "it expires before a certificate it signs would";
    }
    if (authority.effectiveDate() > dateTimeOf(now)) {
        return "it is not valid yet";
    }
    if (SelfSignedCertificate::permittedHostNames(authority) != authorityHostNames(names)) {
        return "the host names changed";
    }
    return nullptr;
}

// The file at `path` as an identity, or nothing when there is none.
Expected<std::optional<TlsIdentity>, Error> loadFile(const std::string& path) {
    auto stored = readOwnFile(path);
    if (!stored) {
        return Unexpected(stored.error());
    }
    if (!stored->has_value()) {
        return std::optional<TlsIdentity>();
    }
    auto identity = parse(path, **stored);
    std::fill((*stored)->begin(), (*stored)->end(), '\0');
    if (!identity) {
        return Unexpected(identity.error());
    }
    return std::optional<TlsIdentity>(std::move(*identity));
}

Expected<TlsIdentityStore::Loaded, Error>
loadOrCreateAuthority(const std::string& path, const std::string& commonName,
                      const CertificateNames& names, std::chrono::system_clock::time_point now) {
    using Origin = TlsIdentityStore::Origin;
    auto stored = loadFile(path);
    if (!stored) {
        return Unexpected(stored.error());
    }
    const char* reason =
        *stored ? authorityRenewalReason((*stored)->certificate, names, now) : nullptr;
    if (*stored && !reason) {
        return TlsIdentityStore::Loaded{std::move(**stored), Origin::loaded, Origin::loaded};
    }
    auto made = SelfSignedCertificate::makeAuthority(
        commonName, names, *stored ? (*stored)->privateKey : QSslKey(), now);
    if (!made) {
        return Unexpected(made.error());
    }
    if (auto saved = save(path, *made); !saved) {
        return Unexpected(saved.error());
    }
    if (reason) {
        qCInfo(linkLog, "Renewed the certificate authority with the same key: %s.", reason);
    } else {
        qCInfo(linkLog, "Made a new certificate authority in %s.", path.c_str());
    }
    const Origin origin = reason ? Origin::renewed : Origin::created;
    return TlsIdentityStore::Loaded{std::move(*made), origin, origin};
}

} // namespace

std::string TlsIdentityStore::defaultPath() {
    const std::string file = "/tarnwick-bridge/tls-identity.pem";
    if (const char* value = std::getenv("XDG_DATA_HOME"); value && *value == '/') {
        return value + file;
    }
    if (const char* home = std::getenv("HOME"); home && *home) {
        return std::string(home) + "/.local/share" + file;
    }
    return "." + file;
}

std::string TlsIdentityStore::authorityPath(const std::string& identityPath) {
    const std::size_t slash = identityPath.rfind('/');
    return (slash == std::string::npos ? std::string() : identityPath.substr(0, slash + 1)) +
           "tls-authority.pem";
}

Expected<TlsIdentityStore::Loaded, Error>
TlsIdentityStore::loadOrCreate(const std::string& path, const std::string& commonName,
                               const CertificateNames& names,
                               std::chrono::system_clock::time_point now) {
    auto authority =
        loadOrCreateAuthority(authorityPath(path), "Tarnwick Bridge on " + commonName, names, now);
    if (!authority) {
        return Unexpected(authority.error());
    }
    auto stored = loadFile(path);
    if (!stored) {
        return Unexpected(stored.error());
    }
    const char* reason = nullptr;
    if (*stored) {
        (*stored)->authority = authority->identity.certificate;
        reason = renewalReason(**stored, names, now);
        if (!reason) {
            return Loaded{std::move(**stored), Origin::loaded, authority->origin};
        }
    }
    auto made = SelfSignedCertificate::make(
        commonName, names, *stored ? (*stored)->privateKey : QSslKey(), now, &authority->identity);
    if (!made) {
        return Unexpected(made.error());
    }
    made->authority = authority->identity.certificate;
    if (auto saved = save(path, *made); !saved) {
        return Unexpected(saved.error());
    }
    if (reason) {
        qCInfo(linkLog, "Renewed the TLS certificate with the same key: %s.", reason);
    } else {
        qCInfo(linkLog, "Made a new TLS identity in %s.", path.c_str());
    }
    return Loaded{std::move(*made), reason ? Origin::renewed : Origin::created, authority->origin};
}

} // namespace tarnwick
