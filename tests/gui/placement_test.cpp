// Where a tool window opens beside the console.
#include "framework/qt/Placement.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

const QRect kFullHd(0, 0, 1920, 1080);
const QSize kTool(760, 480);

struct Case {
    const char* what;
    QRect console;
    QRect screen;
    std::optional<QPoint> remembered;
    QPoint expected;
};

TEST(PlaceBeside, GoesWhereItCoversNothingOrCoversTheLeastOrWhereTheUserLeftIt) {
    const Case cases[] = {
        {"right", QRect(100, 100, 502, 461), kFullHd, std::nullopt, QPoint(610, 100)},
        {"left, no room on the right", QRect(1300, 100, 502, 461), kFullHd, std::nullopt, QPoint(532, 100)},
        {"below, no room on either side", QRect(300, 50, 502, 461), QRect(0, 0, 1280, 1024), std::nullopt,
         QPoint(300, 519)},
        {"above, no room below", QRect(300, 530, 502, 461), QRect(0, 0, 1280, 1024), std::nullopt,
         QPoint(300, 42)},
        {"no room anywhere: least covered", QRect(709, 310, 502, 461), kFullHd, std::nullopt, QPoint(1160, 310)},
        {"where the user left it, over the console", QRect(100, 100, 502, 461), kFullHd, QPoint(300, 200),
         QPoint(300, 200)},
        {"remembered off a screen now smaller", QRect(100, 100, 502, 461), kFullHd, QPoint(3000, 2000),
         QPoint(1160, 600)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fw::PlaceBeside(c.console, kTool, c.screen, c.remembered), c.expected) << c.what;
}

// On a 1920x1080 screen with the console in the middle, the window is made
// narrower to fit beside it rather than cover its side (and EXIT).
TEST(FitBeside, NarrowsTheWindowToTheRoomBesideTheConsole) {
    const QSize minimum(400, 200);
    EXPECT_EQ(fw::FitBeside(QRect(100, 100, 502, 461), kTool, minimum, kFullHd), kTool);
    const QRect console(709, 310, 502, 461);
    const QSize fitted = fw::FitBeside(console, kTool, minimum, kFullHd);
    EXPECT_EQ(fitted, QSize(701, 480));
    const QRect placed(fw::PlaceBeside(console, fitted, kFullHd, std::nullopt), fitted);
    EXPECT_FALSE(placed.intersects(console));
    EXPECT_TRUE(kFullHd.contains(placed));
    // Too little room for the smallest window: as it was.
    EXPECT_EQ(fw::FitBeside(console, kTool, QSize(750, 400), kFullHd), kTool);
}

}  // namespace

// The second tool window opens where it covers neither the console nor the
// first, on a 1920x1080 and a 1366x768 screen, the console at its usual
// place or in the middle; the first one placed as the host places it.
TEST(PlaceAmong, NeitherToolWindowCoversTheOtherNorTheConsole) {
    struct Screen {
        QRect screen;
        QRect console;
    };
    const Screen screens[] = {
        {kFullHd, QRect(0, 0, 502, 490)},
        {kFullHd, QRect(709, 295, 502, 490)},
        {QRect(0, 0, 1366, 768), QRect(0, 0, 502, 490)},
        {QRect(0, 0, 1366, 768), QRect(432, 139, 502, 490)},
    };
    const QSize record(776, 659), recordMin(420, 380), trace(680, 490), traceMin(360, 200);
    for (const Screen& s : screens) {
        const QSize firstSize = fw::FitBeside(s.console, record, recordMin, s.screen);
        const QRect first(fw::PlaceBeside(s.console, firstSize, s.screen, std::nullopt), firstSize);
        const std::optional<QRect> second = fw::PlaceAmong(s.console, {first}, trace, traceMin, s.screen);
        ASSERT_TRUE(second) << s.screen.width() << " console at " << s.console.x();
        EXPECT_TRUE(s.screen.contains(*second));
        EXPECT_FALSE(second->intersects(s.console));
        EXPECT_FALSE(second->intersects(first));
        EXPECT_GE(second->width(), traceMin.width());
        EXPECT_GE(second->height(), traceMin.height());
    }
    // No room at all: nothing, and the host falls back to placing it beside the console.
    EXPECT_FALSE(fw::PlaceAmong(QRect(0, 0, 1366, 768), {}, trace, traceMin, QRect(0, 0, 1366, 768)));
}
