#include "ui/DisplayFormat.h"

#include "ui/DisplayText.h"

namespace tarnwick {

QString DisplayFormat::visible(const QString& text) const {
    return visibleText(text);
}

QString DisplayFormat::pairedLine(const QDateTime& pairedAt) const {
    return QStringLiteral("Paired ") + abbreviatedDateTime(pairedAt);
}

} // namespace tarnwick
