#include "framework/qt/ConsoleLook.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>

#include <algorithm>

namespace fw {

void ApplyReadableLook(QWidget* w) {
    const bool edit = qobject_cast<QLineEdit*>(w) || qobject_cast<QPlainTextEdit*>(w);
    if (!edit && !qobject_cast<QCheckBox*>(w) && !qobject_cast<QLabel*>(w) && !qobject_cast<QGroupBox*>(w))
        return;
    QPalette p = w->palette();
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, p.color(QPalette::Active, role));
    if (edit) p.setColor(QPalette::Disabled, QPalette::Base, p.color(QPalette::Active, QPalette::Window));
    else p.setColor(QPalette::Disabled, QPalette::Base, p.color(QPalette::Active, QPalette::Base));
    w->setPalette(p);
}

void FrameBox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QFontMetrics fm(font());
    const QString t = title();
    const int mid = fm.height() / 2;
    const int pad = std::max(2, fm.averageCharWidth() / 2);
    const int tx = std::max(4, fm.averageCharWidth());
    const int tw = t.isEmpty() ? 0 : fm.horizontalAdvance(t) + 2 * pad;
    const QRect r = rect().adjusted(0, mid, -1, -1);
    p.setPen(palette().color(QPalette::Active, QPalette::Mid));
    if (tw > 0) {
        p.drawLine(r.left(), r.top(), r.left() + tx, r.top());
        p.drawLine(std::min(r.right(), r.left() + tx + tw), r.top(), r.right(), r.top());
    } else {
        p.drawLine(r.topLeft(), r.topRight());
    }
    p.drawLine(r.topLeft(), r.bottomLeft());
    p.drawLine(r.topRight(), r.bottomRight());
    p.drawLine(r.bottomLeft(), r.bottomRight());
    if (tw > 0) {
        p.setPen(palette().color(QPalette::Active, QPalette::WindowText));
        p.drawText(QRect(tx, 0, tw, fm.height()), Qt::AlignCenter | Qt::TextSingleLine, t);
    }
}

int ConsoleStyle::pixelMetric(PixelMetric m, const QStyleOption* opt, const QWidget* w) const {
    if (m == PM_CheckBoxLabelSpacing || m == PM_RadioButtonLabelSpacing)
        return std::min(QProxyStyle::pixelMetric(m, opt, w), 3);
    return QProxyStyle::pixelMetric(m, opt, w);
}

QSize FitOnScreen(QSize client, int titleBar, const QRect& avail, int scrollBar) {
    if (avail.isEmpty()) return client;
    const int roomW = avail.width(), roomH = avail.height() - titleBar;
    if (client.width() <= roomW && client.height() <= roomH) return client;
    // One scroll bar takes room across the other way, which may call for the second.
    bool scrollV = client.height() > roomH, scrollH = client.width() > roomW;
    if (scrollV && client.width() + scrollBar > roomW) scrollH = true;
    if (scrollH && client.height() + scrollBar > roomH) scrollV = true;
    return QSize(std::min(client.width() + (scrollV ? scrollBar : 0), roomW),
                 std::min(client.height() + (scrollH ? scrollBar : 0), roomH));
}

}  // namespace fw
