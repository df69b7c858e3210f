#pragma once

#include "platform/Error.h"
#include "platform/Expected.h"

#include <QString>
#include <QStringList>

#include <string_view>
#include <vector>

namespace tarnwick {

// A QR code (libqrencode, error correction level M, byte mode), and its lines of Unicode half
// blocks for a terminal (the window draws it with qrImage()).
class QrCode {
public:
    // The longest text encoded; an address with its secret is far shorter.
    static constexpr std::size_t maxTextSize = 1024;

    [[nodiscard]] static Expected<QrCode, Error> encode(std::string_view text);

    // Modules per side, without a quiet zone.
    int size() const { return size_; }
    bool dark(int x, int y) const {
        return modules_[static_cast<std::size_t>(y) * static_cast<std::size_t>(size_) +
                        static_cast<std::size_t>(x)];
    }

    // Two rows of modules per line, with a quiet zone of `quietZone` modules all round. Light
    // modules are drawn in the text colour and dark ones left as the background, so that the
    // code reads dark on light in a terminal with light text on a dark background.
    QStringList halfBlockLines(int quietZone = 2) const;
    // Whether the module at (x, y) of the code with a quiet zone of `quietZone` is dark.
    bool darkWithQuietZone(int x, int y, int quietZone) const;

private:
    QrCode(int size, std::vector<bool> modules) : size_(size), modules_(std::move(modules)) {}

    int size_;
    std::vector<bool> modules_;
};

} // namespace tarnwick
