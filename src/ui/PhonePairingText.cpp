#include "ui/PhonePairingText.h"

#include "ui/QrCode.h"

namespace tarnwick {

QStringList PhonePairingText::terminalLines(const QString& address, const QString& fingerprint) {
    if (address.isEmpty()) {
        return {QString::fromLatin1(notReady)};
    }
    auto code = QrCode::encode(address.toStdString());
    QStringList lines = code ? code->halfBlockLines() : QStringList();
    lines.append(QStringLiteral("Open %1 on the phone, or scan the code.").arg(address));
    if (!fingerprint.isEmpty()) {
        lines.append(QStringLiteral("Certificate SHA-256: ") + fingerprint);
    }
    lines.append(QString::fromLatin1(once));
    return lines;
}

} // namespace tarnwick
