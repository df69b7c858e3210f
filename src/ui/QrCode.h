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

    // How half blocks meet a terminal's colours. `own`: each line sets black text on a white
    // background itself and resets after it, so that the code reads the same in every
    // terminal, light or dark. `lightOnDark`: no colours (for a pipe or a log); light modules
    // are drawn in the text colour, for the usual light text on a dark background.
    enum class Colours { own, lightOnDark };
    // The quiet zone scanners need: four modules all round.
    static constexpr int standardQuietZone = 4;

    // Two rows of modules per line, with a quiet zone of `quietZone` modules all round.
    QStringList halfBlockLines(Colours colours, int quietZone = standardQuietZone) const;
    // Whether the module at (x, y) of the code with a quiet zone of `quietZone` is dark.
    bool darkWithQuietZone(int x, int y, int quietZone) const;

private:
    QrCode(int size, std::vector<bool> modules) : size_(size), modules_(std::move(modules)) {}

    int size_;
    std::vector<bool> modules_;
};

} // namespace tarnwick
