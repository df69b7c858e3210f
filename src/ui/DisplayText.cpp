#include "ui/DisplayText.h"

#include <QRegularExpression>

namespace tarnwick {

namespace {

// The characters besides C0 and DEL that break a line or reorder what follows.
bool isLayoutControl(char32_t c) {
    return (c >= 0x80 && c <= 0x9F) ||   // C1 controls, NEL among them
           c == 0x2028 || c == 0x2029 || // line and paragraph separators
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x200E ||
           c == 0x200F || c == 0x061C || c == 0xFEFF;
}

} // namespace

QString visibleText(const QString& text) {
    QString shown;
    shown.reserve(text.size());
    for (char32_t c : text.toUcs4()) {
        if (c < 0x20) {
            shown += QChar(static_cast<char16_t>(0x2400 + c)); // ␀ … ␟
        } else if (c == 0x7F) {
            shown += QChar(u'\u2421'); // ␡
        } else if (isLayoutControl(c)) {
            shown += QStringLiteral("<U+%1>").arg(
                QString::number(static_cast<uint>(c), 16).toUpper().rightJustified(4, u'0'));
        } else if (c > 0xFFFF) {
            shown += QString::fromUcs4(&c, 1);
        } else {
            shown += QChar(static_cast<char16_t>(c));
        }
    }
    return shown;
}

QString abbreviatedDateTime(const QDateTime& dateTime, const QLocale& locale) {
    // Qt offers a long and a short date format; the abbreviated one is the long one without the
    // weekday and with the month's short name.
    QString format = locale.dateFormat(QLocale::LongFormat);
    static const QRegularExpression weekday(QStringLiteral("^d{4}[,.]?\\s*|[,\\s]*d{4}"));
    format.remove(weekday);
    format.replace(QStringLiteral("MMMM"), QStringLiteral("MMM"));
    const QDateTime local = dateTime.toLocalTime();
    return locale.toString(local.date(), format.trimmed()) + QStringLiteral(", ") +
           locale.toString(local.time(), QLocale::ShortFormat);
}

QStringList fingerprintLines(const QString& fingerprint, int pairsPerLine) {
    const QStringList pairs = fingerprint.split(u':');
    QStringList lines;
    for (qsizetype at = 0; at < pairs.size(); at += pairsPerLine) {
        QString line = pairs.mid(at, pairsPerLine).join(u':');
        if (at + pairsPerLine < pairs.size()) {
            line += u':';
        }
        lines.append(line);
    }
    return lines;
}

QStringList terminalFingerprintLines(const QString& fingerprint) {
    const QString label = QStringLiteral("Certificate SHA-256: ");
    QStringList lines = fingerprintLines(fingerprint, 16);
    for (qsizetype index = 0; index < lines.size(); ++index) {
        lines[index].prepend(index == 0 ? label : QString(label.size(), u' '));
    }
    return lines;
}

} // namespace tarnwick
