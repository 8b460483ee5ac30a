#include "framework/qt/FixedFont.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QString>
#include <QStringList>

#include <cmath>

namespace fw {

bool HasEqualAdvances(const QFont& font) {
    const QFontMetricsF fm(font);
    const qreal w = fm.horizontalAdvance(QLatin1Char('0'));
    if (!(w > 0)) return false;
    for (const QChar c : QStringLiteral("iWmlM .|_-:1A"))
        if (std::abs(fm.horizontalAdvance(c) - w) > 0.01) return false;
    return true;
}

QFont FixedWidthFont() {
    const QFont system = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (HasEqualAdvances(system)) return system;
    for (const QString& family : QFontDatabase::families()) {
        if (!QFontDatabase::isFixedPitch(family)) continue;
        QFont f(system);
        f.setFamilies({family});
        if (HasEqualAdvances(f)) return f;
    }
    return system;
}

}  // namespace fw
