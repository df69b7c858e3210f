#include "ui/PhonePairingText.h"

#include "ui/DisplayText.h"
#include "ui/QrCode.h"

#include <QHostAddress>
#include <QUrl>

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
                                            const QString& authorityFingerprint,
                                            QrCode::Colours colours) {
    if (address.isEmpty()) {
        return {QString::fromLatin1(notReady)};
    }
    auto code = QrCode::encode(address.toStdString());
    QStringList lines = code ? code->halfBlockLines(colours) : QStringList();
    lines.append(QStringLiteral("Open %1 on the phone, or scan the code.").arg(address));
    if (const QString warning = unreachableWarning(address); !warning.isEmpty()) {
        lines.append(warning);
    }
    if (!fingerprint.isEmpty()) {
        lines.append(terminalFingerprintLines(fingerprint));
    }
    lines.append(QString::fromLatin1(once));
    lines.append(trustLines(address, authorityFingerprint));
    return lines;
}

QString PhonePairingText::unreachableWarning(const QString& address) {
    const QString host = QUrl(address).host();
    if (!QHostAddress(host).isLoopback() && host.compare(u"localhost", Qt::CaseInsensitive) != 0) {
        return {};
    }
    return QStringLiteral("A phone cannot open this address: %1 is this computer's own loopback "
                          "address, as it has no other. Connect this computer to the network "
                          "the phone is on (Wi-Fi or cable), then ask for a new code.")
        .arg(host);
}

} // namespace tarnwick
