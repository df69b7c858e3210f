#include "ui/SystemFonts.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>

namespace tarnwick {

SystemFonts::SystemFonts(QObject* parent) : QObject(parent) {
    const QFont general = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    family_ = QFontInfo(general).family();
    fixedFamily_ = QFontInfo(QFontDatabase::systemFont(QFontDatabase::FixedFont)).family();
    roundedFamily_ = firstInstalled(roundedPreferences(), QFontDatabase::families(), family_);
    const QFontInfo info(QGuiApplication::font());
    if (info.pixelSize() > 0) {
        bodyPixelSize_ = info.pixelSize();
    }
}

QString SystemFonts::firstInstalled(const QStringList& preferred, const QStringList& installed,
                                    const QString& fallback) {
    for (const QString& name : preferred) {
        if (installed.contains(name, Qt::CaseInsensitive)) {
            return name;
        }
    }
    return fallback;
}

QStringList SystemFonts::roundedPreferences() {
    return {QStringLiteral("Nunito"), QStringLiteral("M PLUS Rounded 1c"),
            QStringLiteral("Varela Round"), QStringLiteral("Quicksand"),
            QStringLiteral("Comfortaa")};
}

} // namespace tarnwick
