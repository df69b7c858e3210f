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

QStringList QrCode::halfBlockLines(Colours colours, int quietZone) const {
    // Black (16) on white (231) of the 256-colour cube, which colour schemes leave alone.
    static const QString blackOnWhite = QStringLiteral("\x1b[38;5;16;48;5;231m");
    static const QString reset = QStringLiteral("\x1b[0m");
    const bool own = colours == Colours::own;
    const int side = size_ + 2 * quietZone;
    QStringList lines;
    for (int y = 0; y < side; y += 2) {
        QString line;
        line.reserve(side + (own ? blackOnWhite.size() + reset.size() : 0));
        if (own) {
            line += blackOnWhite;
        }
        for (int x = 0; x < side; ++x) {
            // Drawn in the text colour: the dark modules on our own white, else the light ones.
            const bool upper = darkWithQuietZone(x, y, quietZone) == own;
            // Below the last row of an odd side there is nothing to draw: the background shows.
            const bool lower = y + 1 < side && darkWithQuietZone(x, y + 1, quietZone) == own;
            if (upper && lower) {
                line += QChar(0x2588); // full block
            } else if (upper) {
                line += QChar(0x2580); // upper half block
            } else if (lower) {
                line += QChar(0x2584); // lower half block
            } else {
                line += u' ';
            }
        }
        if (own) {
            line += reset;
        }
        lines.append(line);
    }
    return lines;
}

} // namespace tarnwick
