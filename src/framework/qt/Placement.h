// Where a tool window (the wire trace, a batch record) opens beside the
// console: a pure computation on rectangles in screen pixels, frames included.
#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

#include <optional>
#include <vector>

namespace fw {

// Pixels between the console and a tool window beside it.
inline constexpr int kBesideGap = 8;

// The top-left corner for a tool window of size tool next to the console on
// screen (its available area).  Where the user put it before (remembered),
// it goes there again, moved only as far as needed to lie on the screen.
// Otherwise to the console's right, else its left, else below, else above,
// the first that lies on the screen and covers nothing of the console; when
// none does, the place on the screen that covers the least of it.
QPoint PlaceBeside(const QRect& console, const QSize& tool, const QRect& screen,
                   std::optional<QPoint> remembered);

// The size to open a resizable tool window at: tool when one side of the
// console has room for it; else made narrower (or lower) to fill the widest
// room beside (or above or below) the console, when that leaves it at least
// minimum; else tool.
QSize FitBeside(const QRect& console, const QSize& tool, const QSize& minimum, const QRect& screen);

// Where a tool window opens when other windows are open beside the console
// (the wire trace and the batch record): a place on the screen that covers
// neither the console nor any of others, at the tool's size or smaller down
// to minimum, as large as the room allows and nearest the console.  Nothing
// when there is no such room (then PlaceBeside and FitBeside decide).
std::optional<QRect> PlaceAmong(const QRect& console, const std::vector<QRect>& others, const QSize& tool,
                                const QSize& minimum, const QRect& screen);

}  // namespace fw
