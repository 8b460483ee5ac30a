#include "framework/qt/Placement.h"

#include <algorithm>
#include <array>

namespace fw {

namespace {
constexpr int kGap = 8;

// The rectangle moved into the screen as far as it fits.
QRect Clamp(QRect r, const QRect& screen) {
    if (r.right() > screen.right()) r.moveRight(screen.right());
    if (r.bottom() > screen.bottom()) r.moveBottom(screen.bottom());
    if (r.left() < screen.left()) r.moveLeft(screen.left());
    if (r.top() < screen.top()) r.moveTop(screen.top());
    return r;
}

long long Area(const QRect& r) { return r.isEmpty() ? 0 : static_cast<long long>(r.width()) * r.height(); }
}  // namespace

QPoint PlaceBeside(const QRect& console, const QSize& tool, const QRect& screen, std::optional<QPoint> remembered) {
    if (remembered) {
        const QRect r(*remembered, tool);
        if (screen.contains(r) && !r.intersects(console)) return r.topLeft();
    }
    // The sides in order of preference, each aligned with the console's top
    // (right, left) or left edge (below, above).
    const std::array<QRect, 4> sides = {
        QRect(QPoint(console.right() + 1 + kGap, console.top()), tool),
        QRect(QPoint(console.left() - kGap - tool.width(), console.top()), tool),
        QRect(QPoint(console.left(), console.bottom() + 1 + kGap), tool),
        QRect(QPoint(console.left(), console.top() - kGap - tool.height()), tool),
    };
    for (const QRect& r : sides) {
        const QRect in = Clamp(r, screen);
        if (screen.contains(in) && !in.intersects(console)) return in.topLeft();
    }
    // No side has room: the placement that covers the least of the console.
    QRect best = Clamp(sides[0], screen);
    for (const QRect& r : sides) {
        const QRect in = Clamp(r, screen);
        if (Area(in & console) < Area(best & console)) best = in;
    }
    return best.topLeft();
}

QSize FitBeside(const QRect& console, const QSize& tool, const QSize& minimum, const QRect& screen) {
    if (!QRect(PlaceBeside(console, tool, screen, std::nullopt), tool).intersects(console)) return tool;
    // The free room on each side: right, left, below, above.
    const std::array<QSize, 4> rooms = {
        QSize(screen.right() - console.right() - kGap, screen.height()),
        QSize(console.left() - screen.left() - kGap, screen.height()),
        QSize(screen.width(), screen.bottom() - console.bottom() - kGap),
        QSize(screen.width(), console.top() - screen.top() - kGap),
    };
    QSize best = tool;
    long long bestArea = -1;
    for (const QSize& room : rooms) {
        const QSize fit = tool.boundedTo(room);
        if (fit.width() < minimum.width() || fit.height() < minimum.height()) continue;
        const long long area = static_cast<long long>(fit.width()) * fit.height();
        if (area > bestArea) best = fit, bestArea = area;
    }
    return best;
}

}  // namespace fw
