#pragma once

#include "link/WebContent.h"

#include <QSslCertificate>

#include <string>
#include <string_view>

namespace tarnwick {

// This computer's certificate authority in the forms phones install: DER for Android, a
// configuration profile with one root-certificate payload for iOS. The page links to both.
class AuthorityDownloads {
public:
    static constexpr std::string_view certificatePath = "/trust/tarnwick-bridge-ca.crt";
    static constexpr std::string_view profilePath = "/trust/tarnwick-bridge-ca.mobileconfig";

    // The profile: an XML property list whose identifiers and UUIDs follow from the
    // certificate, so that installing it again replaces the one installed before.
    static std::string profile(const QSslCertificate& authority);

    // `content` with both downloads added (nothing for a null authority).
    static WebContent with(const WebContent& content, const QSslCertificate& authority);
};

} // namespace tarnwick
