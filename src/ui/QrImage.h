#pragma once

#include "ui/QrCode.h"

#include <QImage>
#include <QString>

namespace tarnwick {

// A QR code as the window draws it: black modules on white, `scale` pixels each, with a quiet
// zone of `quietZone` modules.
QImage qrImage(const QrCode& code, int scale, int quietZone = 4);
// qrImage() as a "data:image/png;base64,…" address, for an Image in the window.
QString qrPngDataUrl(const QrCode& code, int scale, int quietZone = 4);

} // namespace tarnwick
