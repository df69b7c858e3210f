#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QStringList>

namespace tarnwick {

// Text that a device chose (its name, and log lines that quote it), made safe to show on one
// line: control characters become visible symbols instead of breaking lines, moving the cursor
// or steering a terminal, and the characters that reorder or break lines are spelled out.
QString visibleText(const QString& text);

// A certificate fingerprint ("AB:CD:…") in lines of `pairsPerLine` pairs, each broken after a
// colon, so that no screen splits a pair; the lines put together give the fingerprint again.
QStringList fingerprintLines(const QString& fingerprint, int pairsPerLine);
// What a terminal prints for a fingerprint: "Certificate SHA-256: " and lines of 16 pairs, the
// later ones under the first, none wider than 69 columns.
QStringList terminalFingerprintLines(const QString& fingerprint);

// A date in the locale's abbreviated form with a short time, as in "Nov 27, 2024, 3:04 PM"
// for US English.
QString abbreviatedDateTime(const QDateTime& dateTime, const QLocale& locale = QLocale());

} // namespace tarnwick
