#include "ui/DisplayFormat.h"

#include "ui/DisplayText.h"

namespace tarnwick {

QString DisplayFormat::visible(const QString& text) const {
    return visibleText(text);
}

QString DisplayFormat::fingerprint(const QString& fingerprint) const {
    return fingerprintLines(fingerprint, 8).join(u'\n');
}

QString DisplayFormat::pairedLine(const QDateTime& pairedAt) const {
    return QStringLiteral("Paired ") + abbreviatedDateTime(pairedAt);
}

} // namespace tarnwick
