#include "ui/PhonePairingText.h"

#include "ui/QrCode.h"

namespace tarnwick {

QString PhonePairingText::trustAddress(const QString& address) {
    const qsizetype fragment = address.indexOf(u'#');
    return (fragment < 0 ? address : address.left(fragment)) + QStringLiteral("trust");
}

QStringList PhonePairingText::trustLines(const QString& address,
                                         const QString& authorityFingerprint) {
    if (address.isEmpty() || authorityFingerprint.isEmpty()) {
        return {};
    }
    const QString page = trustAddress(address);
    return {QString::fromLatin1(trustTitle) + QStringLiteral(": ") + QString::fromLatin1(trustWhy),
            QString::fromLatin1(iosSteps).arg(page), QString::fromLatin1(androidSteps).arg(page),
            QString::fromLatin1(compare).arg(authorityFingerprint)};
}

QStringList PhonePairingText::terminalLines(const QString& address, const QString& fingerprint,
                                            const QString& authorityFingerprint) {
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
    lines.append(trustLines(address, authorityFingerprint));
    return lines;
}

} // namespace tarnwick
