#include "framework/qt/Placement.h"

#include <algorithm>
#include <array>

namespace fw {
namespace {

// Moves r as little as possible to lie on screen (its top-left corner on it
// when r is larger than the screen).
QRect OnScreen(QRect r, const QRect& screen) {
    if (r.right() > screen.right()) r.moveRight(screen.right());
    if (r.bottom() > screen.bottom()) r.moveBottom(screen.bottom());
    if (r.left() < screen.left()) r.moveLeft(screen.left());
    if (r.top() < screen.top()) r.moveTop(screen.top());
    return r;
}

long long Covered(const QRect& r, const QRect& console) {
    const QRect both = r.intersected(console);
    return both.isEmpty() ? 0 : static_cast<long long>(both.width()) * both.height();
}

// Right, left, below, above: each moved along the console's side onto the screen.
std::array<QRect, 4> Sides(const QRect& console, const QSize& tool, const QRect& screen) {
    const auto along = [&](QPoint p, bool bHorizontal) {
        QRect r(p, tool);
        const QRect s = OnScreen(r, screen);
        if (bHorizontal) r.moveTop(s.top());
        else r.moveLeft(s.left());
        return r;
    };
    return {along({console.right() + 1 + kBesideGap, console.top()}, true),
            along({console.left() - kBesideGap - tool.width(), console.top()}, true),
            along({console.left(), console.bottom() + 1 + kBesideGap}, false),
            along({console.left(), console.top() - kBesideGap - tool.height()}, false)};
}

bool Fits(const QRect& r, const QRect& console, const QRect& screen) {
    return screen.contains(r) && !r.intersects(console);
}

}  // namespace

QPoint PlaceBeside(const QRect& console, const QSize& tool, const QRect& screen,
                   std::optional<QPoint> remembered) {
    if (remembered) return OnScreen(QRect(*remembered, tool), screen).topLeft();
    const auto sides = Sides(console, tool, screen);
    for (const QRect& r : sides)
        if (Fits(r, console, screen)) return r.topLeft();
    QRect best = OnScreen(sides[0], screen);
    for (const QRect& side : sides) {
        const QRect r = OnScreen(side, screen);
        if (Covered(r, console) < Covered(best, console)) best = r;
    }
    return best.topLeft();
}

QSize FitBeside(const QRect& console, const QSize& tool, const QSize& minimum, const QRect& screen) {
    for (const QRect& r : Sides(console, tool, screen))
        if (Fits(r, console, screen)) return tool;
    const int wide = std::max(screen.right() - console.right(), console.left() - screen.left()) - kBesideGap;
    const int tall = std::max(screen.bottom() - console.bottom(), console.top() - screen.top()) - kBesideGap;
    const QSize narrower(std::min(wide, tool.width()), std::min(tool.height(), screen.height()));
    const QSize lower(std::min(tool.width(), screen.width()), std::min(tall, tool.height()));
    const auto usable = [&](const QSize& s) {
        return s.width() >= minimum.width() && s.height() >= minimum.height();
    };
    const auto area = [](const QSize& s) { return static_cast<long long>(s.width()) * s.height(); };
    if (usable(narrower) && (!usable(lower) || area(narrower) >= area(lower))) return narrower;
    if (usable(lower)) return lower;
    return tool;
}

namespace {

// The largest rectangles of free that r leaves: free minus r, as up to four
// rectangles (left, right, above, below), each as large as it can be.
void Split(const QRect& free, const QRect& r, std::vector<QRect>& out) {
    if (!free.intersects(r)) {
        out.push_back(free);
        return;
    }
    if (r.left() > free.left()) out.emplace_back(QPoint(free.left(), free.top()), QPoint(r.left() - 1, free.bottom()));
    if (r.right() < free.right())
        out.emplace_back(QPoint(r.right() + 1, free.top()), QPoint(free.right(), free.bottom()));
    if (r.top() > free.top()) out.emplace_back(QPoint(free.left(), free.top()), QPoint(free.right(), r.top() - 1));
    if (r.bottom() < free.bottom())
        out.emplace_back(QPoint(free.left(), r.bottom() + 1), QPoint(free.right(), free.bottom()));
}

}  // namespace

std::optional<QRect> PlaceAmong(const QRect& console, const std::vector<QRect>& others, const QSize& tool,
                                const QSize& minimum, const QRect& screen) {
    // The free room: the screen less every window, each grown by the gap.
    std::vector<QRect> free{screen};
    std::vector<QRect> taken{console};
    taken.insert(taken.end(), others.begin(), others.end());
    for (const QRect& t : taken) {
        const QRect grown = t.adjusted(-kBesideGap, -kBesideGap, kBesideGap, kBesideGap);
        std::vector<QRect> next;
        for (const QRect& f : free) Split(f, grown, next);
        free = std::move(next);
    }
    std::optional<QRect> best;
    long long bestArea = -1;
    long long bestDistance = 0;
    for (const QRect& f : free) {
        const QSize size(std::min(tool.width(), f.width()), std::min(tool.height(), f.height()));
        if (size.width() < minimum.width() || size.height() < minimum.height()) continue;
        // In the room, at its corner nearest the console.
        const int x = f.left() >= console.right() ? f.left() : f.right() + 1 - size.width();
        const int y = std::clamp(console.top(), f.top(), f.bottom() + 1 - size.height());
        const QRect r(QPoint(x, y), size);
        const long long area = static_cast<long long>(size.width()) * size.height();
        const QPoint d = r.center() - console.center();
        const long long distance = static_cast<long long>(d.x()) * d.x() + static_cast<long long>(d.y()) * d.y();
        if (area > bestArea || (area == bestArea && distance < bestDistance)) {
            best = r;
            bestArea = area;
            bestDistance = distance;
        }
    }
    return best;
}

}  // namespace fw
