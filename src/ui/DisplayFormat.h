#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <qqmlintegration.h>

namespace tarnwick {

// The window's text helpers: device-chosen text made safe to show, the "Paired " line and
// certificate fingerprints.
class DisplayFormat : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    Q_INVOKABLE QString visible(const QString& text) const;
    Q_INVOKABLE QString pairedLine(const QDateTime& pairedAt) const;
    // A certificate fingerprint in lines of eight pairs (fingerprintLines).
    Q_INVOKABLE QString fingerprint(const QString& fingerprint) const;
};

} // namespace tarnwick
