#pragma once

#include <QSslCertificate>

#include <string>
#include <string_view>

namespace tarnwick {

// The SHA-256 of the certificate's DER, lowercase hex, 64 characters: the "certificate" text
// of a version-2 hello. A null certificate gives "".
std::string certificateFingerprint(const QSslCertificate& certificate);

// A fingerprint as people compare it: uppercase hex in pairs joined with ":" ("AB:CD:..."),
// the way browsers show one. Characters other than hex digits are kept as they are.
std::string groupedFingerprint(std::string_view hex);

} // namespace tarnwick
