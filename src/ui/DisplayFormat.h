#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <qqmlintegration.h>

namespace tarnwick {

// The window's text helpers: device-chosen text made safe to show, and the "Paired " line.
class DisplayFormat : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    Q_INVOKABLE QString visible(const QString& text) const;
    Q_INVOKABLE QString pairedLine(const QDateTime& pairedAt) const;
};

} // namespace tarnwick
