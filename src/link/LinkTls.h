#pragma once

#include "link/SelfSignedCertificate.h"

#include <QSslConfiguration>

namespace tarnwick {

// TLS settings of the link's sessions: TLS 1.2 or newer (1.3 where both ends have it), and no
// certificate check either way, since who a device is is proved above the link.
QSslConfiguration hostTlsConfiguration(const TlsIdentity& identity);
QSslConfiguration deviceTlsConfiguration();

} // namespace tarnwick
