#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <qqmlintegration.h>

namespace tarnwick {

// The fonts the window draws with, found among those installed: the system's own font and its
// fixed-width sibling, and the closest rounded family for the title.
class SystemFonts : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(QString family READ family CONSTANT)
    Q_PROPERTY(QString fixedFamily READ fixedFamily CONSTANT)
    Q_PROPERTY(QString roundedFamily READ roundedFamily CONSTANT)
    Q_PROPERTY(qreal bodyPixelSize READ bodyPixelSize CONSTANT)

public:
    explicit SystemFonts(QObject* parent = nullptr);

    QString family() const { return family_; }
    QString fixedFamily() const { return fixedFamily_; }
    QString roundedFamily() const { return roundedFamily_; }
    // The size of body text, from the system font, in logical pixels.
    qreal bodyPixelSize() const { return bodyPixelSize_; }

    // The first of `preferred` that `installed` holds, else `fallback`.
    static QString firstInstalled(const QStringList& preferred, const QStringList& installed,
                                  const QString& fallback);
    // Rounded families, closest to a heavy rounded system design first.
    static QStringList roundedPreferences();

private:
    QString family_;
    QString fixedFamily_;
    QString roundedFamily_;
    qreal bodyPixelSize_ = 13;
};

} // namespace tarnwick
