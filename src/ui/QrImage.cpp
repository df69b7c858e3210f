#include "ui/QrImage.h"

#include <QBuffer>

namespace tarnwick {

QImage qrImage(const QrCode& code, int scale, int quietZone) {
    const int side = (code.size() + 2 * quietZone) * scale;
    QImage picture(side, side, QImage::Format_Mono);
    picture.setColor(0, qRgb(255, 255, 255));
    picture.setColor(1, qRgb(0, 0, 0));
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            picture.setPixel(x, y, code.darkWithQuietZone(x / scale, y / scale, quietZone) ? 1 : 0);
        }
    }
    return picture;
}

QString qrPngDataUrl(const QrCode& code, int scale, int quietZone) {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    qrImage(code, scale, quietZone).save(&buffer, "PNG");
    return QStringLiteral("data:image/png;base64,") + QString::fromLatin1(png.toBase64());
}

} // namespace tarnwick
