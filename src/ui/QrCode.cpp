#include "ui/QrCode.h"

#include <qrencode.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

namespace tarnwick {

namespace {

struct QrFree {
    void operator()(QRcode* code) const { QRcode_free(code); }
};

} // namespace

Expected<QrCode, Error> QrCode::encode(std::string_view text) {
    if (text.empty() || text.size() > maxTextSize) {
        return Unexpected(Error{"The text does not fit in a QR code."});
    }
    // Version 0 lets the library choose the smallest version that holds the text.
    std::unique_ptr<QRcode, QrFree> code(
        QRcode_encodeData(static_cast<int>(text.size()),
                          reinterpret_cast<const unsigned char*>(text.data()), 0, QR_ECLEVEL_M));
    if (!code) {
        return Unexpected(
            Error{std::string("The QR code could not be made: ") + std::strerror(errno)});
    }
    const int size = code->width;
    std::vector<bool> modules(static_cast<std::size_t>(size) * static_cast<std::size_t>(size));
    for (std::size_t index = 0; index < modules.size(); ++index) {
        // The lowest bit of each byte is the module's colour; the others say what it is part of.
        modules[index] = (code->data[index] & 1) != 0;
    }
    return QrCode(size, std::move(modules));
}

bool QrCode::darkWithQuietZone(int x, int y, int quietZone) const {
    x -= quietZone;
    y -= quietZone;
    return x >= 0 && y >= 0 && x < size_ && y < size_ && dark(x, y);
}

QStringList QrCode::halfBlockLines(int quietZone) const {
    const int side = size_ + 2 * quietZone;
    QStringList lines;
    for (int y = 0; y < side; y += 2) {
        QString line;
        line.reserve(side);
        for (int x = 0; x < side; ++x) {
            const bool upperLight = !darkWithQuietZone(x, y, quietZone);
            // Below the last row of an odd side there is nothing to draw.
            const bool lowerLight = y + 1 < side && !darkWithQuietZone(x, y + 1, quietZone);
            if (upperLight && lowerLight) {
                line += QChar(0x2588); // full block
            } else if (upperLight) {
                line += QChar(0x2580); // upper half block
            } else if (lowerLight) {
                line += QChar(0x2584); // lower half block
            } else {
                line += u' ';
            }
        }
        lines.append(line);
    }
    return lines;
}

} // namespace tarnwick
