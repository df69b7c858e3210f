#include "ui/TerminalWriter.h"

#include <QFileDevice>
#include <QRegularExpression>

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace tarnwick {

TerminalWriter::TerminalWriter(QIODevice& device, bool colour) : device_(device), colour_(colour) {}

void TerminalWriter::line(const QString& text) {
    QByteArray bytes = text.toUtf8();
    if (bytes.size() + 1 > maxLineBytes) {
        // Cut at a character boundary, leaving room for the ellipsis, the end of a style that
        // the cut may have left open, and the line break.
        static constexpr char ellipsis[] = "\u2026";
        static constexpr char reset[] = "\x1b[0m";
        const qsizetype tail =
            qsizetype(sizeof ellipsis - 1) + (colour_ ? qsizetype(sizeof reset - 1) : 0) + 1;
        qsizetype end = maxLineBytes - tail;
        while (end > 0 && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80) {
            --end;
        }
        // An escape sequence cut in two would swallow what follows it.
        if (const qsizetype escape = bytes.lastIndexOf('\x1b', end - 1); escape >= 0) {
            if (const qsizetype close = bytes.indexOf('m', escape); close < 0 || close >= end) {
                end = escape;
            }
        }
        bytes.truncate(end);
        bytes += ellipsis;
        if (colour_) {
            bytes += reset;
        }
    }
    bytes += '\n';
    device_.write(bytes);
    // A pipe or a log must see each line as it happens.
    if (auto* file = qobject_cast<QFileDevice*>(&device_)) {
        file->flush();
    }
}

void TerminalWriter::clearScreen() {
    if (!colour_) {
        return;
    }
    device_.write("\x1b[H\x1b[2J");
    if (auto* file = qobject_cast<QFileDevice*>(&device_)) {
        file->flush();
    }
}

QString TerminalWriter::styled(const QString& text, Style style) const {
    if (!colour_ || style == Style::plain) {
        return text;
    }
    const char* start = "";
    switch (style) {
    case Style::plain:
        break;
    case Style::bold:
        start = "\x1b[1m";
        break;
    case Style::dim:
        start = "\x1b[2m";
        break;
    case Style::good:
        start = "\x1b[32m";
        break;
    case Style::warning:
        start = "\x1b[33m";
        break;
    case Style::accent:
        start = "\x1b[36m";
        break;
    case Style::code:
        start = "\x1b[1;33m";
        break;
    }
    return QString::fromLatin1(start) + text + QStringLiteral("\x1b[0m");
}

bool TerminalWriter::colourSuits(int fd) {
    if (::isatty(fd) != 1) {
        return false;
    }
    const char* noColour = std::getenv("NO_COLOR");
    if (noColour && *noColour) {
        return false;
    }
    const char* term = std::getenv("TERM");
    return !(term && std::strcmp(term, "dumb") == 0);
}

QString TerminalWriter::withoutColours(const QString& text) {
    static const QRegularExpression style(QStringLiteral("\x1b\\[[0-9;]*m"));
    return QString(text).remove(style);
}

} // namespace tarnwick
