// How the console's controls look in the Qt window: values that can be read
// (a field the operator cannot edit looks read-only, not greyed), group frames
// whose line runs through their title, and the size that fits the dialog
// onto the screen it opens on.
#pragma once

#include <QGroupBox>
#include <QProxyStyle>
#include <QRect>
#include <QSize>

class QWidget;

namespace fw {

// A disabled edit, check box or text keeps the colours of an enabled one; a
// disabled edit takes the window's colour as its background, as a read-only
// field does.  Buttons and radios still grey out: they say what can be used.
void ApplyReadableLook(QWidget* w);

// A group frame as the dialog template means it: the line runs through the
// middle of the title, so the first row inside stays clear of it.
class FrameBox final : public QGroupBox {
    Q_OBJECT
public:
    using QGroupBox::QGroupBox;

protected:
    void paintEvent(QPaintEvent* e) override;
};

// The window's style with the caption of a check box or radio closer to its
// indicator, so the narrow sensor boxes of the template hold their captions.
class ConsoleStyle final : public QProxyStyle {
    Q_OBJECT
public:
    using QProxyStyle::QProxyStyle;
    int pixelMetric(PixelMetric m, const QStyleOption* opt = nullptr, const QWidget* w = nullptr) const override;
};

// The size of a window showing `client` (its scroll bars `scrollBar` wide
// where it must scroll) with a title bar `titleBar` high, as large as `avail`
// allows: `client` itself where it fits.
QSize FitOnScreen(QSize client, int titleBar, const QRect& avail, int scrollBar);

}  // namespace fw
