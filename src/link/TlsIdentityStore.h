#pragma once

#include "link/SelfSignedCertificate.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <chrono>
#include <string>

namespace tarnwick {

// The link's TLS identity kept across starts, so that a device can pin the certificate it saw,
// and this computer's certificate authority, which signs it, so that a phone that installed the
// authority verifies the computer: two files, each mode 0600 in a 0700 folder, holding a P-256
// key and its certificate as PEM, replaced atomically. Neither key changes once made; each
// certificate is renewed with the same key when it is about to expire or no longer names this
// computer.
class TlsIdentityStore {
public:
    // Renewed when it expires within this time.
    static constexpr auto renewWithin = std::chrono::hours(24 * 30);
    // A larger file is not ours.
    static constexpr std::size_t maxFileSize = 64 * 1024;

    enum class Origin { created, loaded, renewed };
    struct Loaded {
        TlsIdentity identity; // its authority set
        Origin origin = Origin::loaded;
        Origin authorityOrigin = Origin::loaded;
    };

    // ${XDG_DATA_HOME:-$HOME/.local/share}/tarnwick-bridge/tls-identity.pem
    static std::string defaultPath();
    // The authority's file beside the identity at `identityPath`: tls-authority.pem.
    static std::string authorityPath(const std::string& identityPath);

    // Loads the authority beside `path` and the identity at `path`; makes and saves each when
    // there is no file; renews and saves a certificate (same key) when it expires within
    // `renewWithin` (the authority: before a certificate it signs now would), has not yet
    // begun, or names other names than `names.localOnly()` (the authority: in its name
    // constraints); the identity's also when the authority did not sign it (an identity made
    // before there was one: its key, which devices pinned, stays). `commonName` names a new
    // certificate only:
    // the link's peer name has a new suffix on every start and must not renew it. A file that
    // is there but cannot be read as a matching P-256 key and certificate fails and is left
    // untouched: replacing it would silently change the key devices pinned.
    static Expected<Loaded, Error>
    loadOrCreate(const std::string& path, const std::string& commonName,
                 const CertificateNames& names,
                 std::chrono::system_clock::time_point now = std::chrono::system_clock::now());
};

} // namespace tarnwick
