#pragma once

#include <QIODevice>
#include <QString>

namespace tarnwick {

// Writes whole lines to a terminal, a pipe or a log file. Styles become colours only when
// colour is on (standard output is a terminal); otherwise the text is left plain.
class TerminalWriter {
public:
    enum class Style { plain, bold, dim, good, warning, accent, code };

    // No line written, its break included, is longer than this many bytes.
    static constexpr qsizetype maxLineBytes = 4096;

    TerminalWriter(QIODevice& device, bool colour);

    // Writes `text` and a line break, and flushes. A longer line than maxLineBytes is cut at a
    // character boundary and ends in "…".
    void line(const QString& text = {});
    // Clears the screen and puts the cursor at the top when colour is on (a terminal); nothing
    // otherwise.
    void clearScreen();
    // `text` in `style`; plain text when colour is off.
    QString styled(const QString& text, Style style) const;
    bool colour() const { return colour_; }

    // Whether colour suits the file descriptor: a terminal, with NO_COLOR unset and a TERM
    // other than "dumb".
    static bool colourSuits(int fd);
    // `text` without its colour and style sequences (ESC [ … m).
    static QString withoutColours(const QString& text);

private:
    QIODevice& device_;
    bool colour_;
};

} // namespace tarnwick
