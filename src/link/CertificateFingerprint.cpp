#include "link/CertificateFingerprint.h"

#include <QCryptographicHash>

#include <cctype>

namespace tarnwick {

std::string certificateFingerprint(const QSslCertificate& certificate) {
    if (certificate.isNull()) {
        return {};
    }
    return QCryptographicHash::hash(certificate.toDer(), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

std::string groupedFingerprint(std::string_view hex) {
    std::string grouped;
    grouped.reserve(hex.size() + hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); ++i) {
        if (i > 0 && i % 2 == 0) {
            grouped += ':';
        }
        grouped += static_cast<char>(std::toupper(static_cast<unsigned char>(hex[i])));
    }
    return grouped;
}

} // namespace tarnwick
