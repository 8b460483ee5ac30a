// The window as a technician at the bench reads it, rendered offscreen: values
// at 4.5:1 or better, sensor boxes that read as set or clear, no caption cut,
// group frames clear of their first row, the status line's whole text, the
// exchange line and the keyboard's way through the pages.  The suite runs
// again at QT_SCALE_FACTOR 2 (see CMakeLists.txt).
#include "console/ConsoleDlg.h"
#include "console/DialogTemplate.h"
#include "console/ExchangeLine.h"
#include "console/LayoutTable.h"
#include "framework/qt/ConsoleLook.h"
#include "framework/qt/QtHost.h"

#include "CaptureWriter.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QImage>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTabBar>
#include <QTabWidget>

#include <cmath>
#include <map>
#include <set>

namespace {

// WCAG's relative luminance and contrast ratio.
double Luminance(QRgb c) {
    auto lin = [](int v) {
        const double s = v / 255.0;
        return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * lin(qRed(c)) + 0.7152 * lin(qGreen(c)) + 0.0722 * lin(qBlue(c));
}
double Contrast(QRgb a, QRgb b) {
    const double la = Luminance(a), lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The strongest contrast of any pixel of `area` (widget coordinates) against
// the area's most common colour, its background.
double ValueContrast(QWidget* w, QRect area) {
    const QImage img = w->grab(area).toImage().convertToFormat(QImage::Format_RGB32);
    std::map<QRgb, int> count;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) ++count[img.pixel(x, y)];
    QRgb bg = 0;
    int most = -1;
    for (auto [c, n] : count)
        if (n > most) most = n, bg = c;
    double best = 1.0;
    for (auto [c, n] : count) best = std::max(best, Contrast(c, bg));
    return best;
}

struct BenchLook : ::testing::Test {
    std::uint64_t now = 0;
    ExchangeLine exchange{[this] { return now; }};
    fw::QtHost host;
    CaptureWriter cap;
    CConsoleDlg dlg{host};
    void SetUp() override {
        host.SetExchangeLine(&exchange);
        dlg.Create();
        dlg.Subscribe(&exchange);
        host.DialogWindow()->show();
        QApplication::processEvents();
    }
    void TearDown() override { dlg.Unsubscribe(&exchange); }
    void Page(int page) {
        host.SelectTabForTest(page);
        QApplication::processEvents();
    }
    template <class F>
    void EachVisibleRow(int page, F&& f) {
        for (const LayoutRow& r : g_Layout) {
            if (r.page == kLayoutEndPage) break;
            if (r.page == page) f(r, host.Widget(r.id));
        }
    }
};

TEST_F(BenchLook, ValuesReadAtFourAndAHalfToOneWhileTheyCannotBeEdited) {
    for (int page = 1; page <= 5; ++page) {
        Page(page);  // before OPEN: every field of these pages is disabled
        EachVisibleRow(page, [&](const LayoutRow& r, QWidget* w) {
            auto* e = qobject_cast<QLineEdit*>(w);
            if (!e) return;
            ASSERT_FALSE(e->isEnabled()) << r.id;
            host.SetControlText(r.id, "88");
            EXPECT_GE(ValueContrast(e, e->rect().adjusted(3, 3, -3, -3)), 4.5) << "page " << page << " id " << r.id;
        });
    }
    auto* status = host.Widget(ids::kStatus);
    EXPECT_GE(ValueContrast(status, status->rect().adjusted(3, 3, -3, -3)), 4.5);
}

TEST_F(BenchLook, SensorBoxesReadAsSetOrClear) {
    Page(2);
    int boxes = 0;
    EachVisibleRow(2, [&](const LayoutRow& r, QWidget* w) {
        auto* cb = qobject_cast<QCheckBox*>(w);
        if (!cb) return;
        ++boxes;
        ASSERT_FALSE(cb->isEnabled()) << r.id;
        QStyleOptionButton opt;
        opt.initFrom(cb);
        const QRect ind = cb->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &opt, cb).adjusted(3, 3, -3, -3);
        host.SetCheck(r.id, 1);
        EXPECT_GE(ValueContrast(cb, ind), 4.5) << "set " << r.id;
        host.SetCheck(r.id, 0);
        EXPECT_LT(ValueContrast(cb, ind), 1.5) << "clear " << r.id;
    });
    EXPECT_EQ(boxes, 28);  // the 23 sensor boxes, RVD_L, RVD_R and CB2..CB4
}

// Every caption shows whole: buttons, boxes, radios, texts, group titles, tabs.
TEST_F(BenchLook, NoCaptionIsCut) {
    for (int page = 0; page <= 5; ++page) {
        Page(page);
        EachVisibleRow(page, [&](const LayoutRow& r, QWidget* w) {
            const QFontMetrics fm(w->font());
            const auto where = [&] { return "page " + std::to_string(page) + " id " + std::to_string(r.id); };
            if (auto* b = qobject_cast<QPushButton*>(w)) {
                const int margin = b->style()->pixelMetric(QStyle::PM_ButtonMargin);
                EXPECT_LE(fm.horizontalAdvance(b->text()) + margin, b->width()) << where();
                EXPECT_LE(fm.height(), b->height()) << where();
            } else if (auto* c = qobject_cast<QAbstractButton*>(w)) {  // a check box or radio
                // The caption's room: what the indicator and its spacing leave.
                QStyleOptionButton opt;
                opt.initFrom(c);
                const bool radio = qobject_cast<QRadioButton*>(w) != nullptr;
                const QRect room = c->style()->subElementRect(
                    radio ? QStyle::SE_RadioButtonContents : QStyle::SE_CheckBoxContents, &opt, c);
                EXPECT_LE(fm.horizontalAdvance(fw::QtHost::Caption(c->text())), room.width()) << where();
                EXPECT_LE(fm.height(), w->height()) << where();
            } else if (auto* l = qobject_cast<QLabel*>(w)) {
                EXPECT_LE(fm.horizontalAdvance(l->buddy() ? fw::QtHost::Caption(l->text()) : l->text()), l->width())
                    << where();
                EXPECT_LE(fm.height(), l->height()) << where();
            } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
                EXPECT_LE(fm.horizontalAdvance(g->title()) + 2 * fm.averageCharWidth(), g->width()) << where();
            }
        });
    }
    auto* tab = qobject_cast<QTabWidget*>(host.Widget(ids::kTab));
    ASSERT_NE(tab, nullptr);
    EXPECT_LE(tab->tabBar()->sizeHint().width(), tab->width());
    for (int i = 0; i < tab->count(); ++i)
        EXPECT_GE(tab->tabBar()->tabRect(i).width(), QFontMetrics(tab->font()).horizontalAdvance(tab->tabText(i)));
}

// A group's frame line runs above its first row, through its title.
TEST_F(BenchLook, GroupFramesClearTheirFirstRow) {
    Page(2);
    for (int group : {1031, 1032, 1065, 1076}) {
        QWidget* g = host.Widget(group);
        // The line: the first row of pixels from the top, at the right end of
        // the frame, that differs from the page.
        const QImage img = g->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const int x = img.width() - 1 - static_cast<int>(4 * img.devicePixelRatio());
        const QRgb page = img.pixel(x, 0);
        int lineY = -1;
        for (int y = 0; y < img.height() && lineY < 0; ++y)
            if (img.pixel(x, y) != page) lineY = y;
        ASSERT_GE(lineY, 0) << group;
        const double lineAt = g->y() + lineY / img.devicePixelRatio();
        int firstRow = 1 << 20;
        EachVisibleRow(2, [&](const LayoutRow& r, QWidget* w) {
            if (r.id != group && g->geometry().contains(w->geometry())) firstRow = std::min(firstRow, w->y());
        });
        EXPECT_LT(lineAt, firstRow) << group;
    }
}

TEST_F(BenchLook, TheStatusLineShowsItsWholeText) {
    auto* e = qobject_cast<QLineEdit*>(host.Widget(ids::kStatus));
    ASSERT_NE(e, nullptr);
    for (const char* text : {"!!! Disconnected", "!!! Error Response Timeout", "!!! Error ACK Timeout"}) {
        host.SetControlText(ids::kStatus, text);
        EXPECT_LE(QFontMetrics(e->font()).horizontalAdvance(e->text()), e->width() - 8) << text;  // less its frame and margins
        EXPECT_EQ(host.GetControlText(ids::kStatus), text);
    }
}

TEST_F(BenchLook, TheExchangeLineFollowsTheConsolesEvents) {
    dlg.m_pWriter = &cap;
    dlg.m_bLinked = 1;
    Page(1);
    host.SetControlText(1035, "1");
    ASSERT_TRUE(host.ExchangeLabel());
    EXPECT_EQ(host.ExchangeLabel()->text(), "");
    QMetaObject::invokeMethod(host.Widget(1001), "click");
    EXPECT_EQ(host.ExchangeLabel()->text(), "DISPENSE: awaiting ACK 1.0 s, answer within 120 s");
    now = 500;
    host.RefreshExchange();
    EXPECT_EQ(host.ExchangeLabel()->text(), "DISPENSE: awaiting ACK 0.5 s, answer within 120 s");
}

// Ctrl+Tab and Ctrl+PgDn go to the next page, Ctrl+PgUp back, round the ends.
TEST_F(BenchLook, KeysSwitchPages) {
    auto* tab = qobject_cast<QTabWidget*>(host.Widget(ids::kTab));
    QWidget* focus = host.Widget(ids::kTab);
    focus->setFocus();
    auto key = [&](int k, Qt::KeyboardModifiers m) {
        QKeyEvent press(QEvent::ShortcutOverride, k, m);
        QApplication::sendEvent(QApplication::focusWidget() ? QApplication::focusWidget() : focus, &press);
        QKeyEvent down(QEvent::KeyPress, k, m);
        QApplication::sendEvent(QApplication::focusWidget() ? QApplication::focusWidget() : focus, &down);
        QApplication::processEvents();
    };
    struct Case {
        int key;
        Qt::KeyboardModifiers mods;
        int page;
    };
    const Case cases[] = {{Qt::Key_PageDown, Qt::ControlModifier, 1},
                          {Qt::Key_Tab, Qt::ControlModifier, 2},
                          {Qt::Key_PageUp, Qt::ControlModifier, 1},
                          {Qt::Key_PageUp, Qt::ControlModifier, 0},
                          {Qt::Key_PageUp, Qt::ControlModifier, 5}};
    for (const Case& c : cases) {
        key(c.key, c.mods);
        EXPECT_EQ(tab->currentIndex(), c.page);
        EXPECT_EQ(dlg.m_nTab, c.page);
    }
}

// On DISPENSE, Tab goes through the Request fields, then Repeat and Wait,
// before the buttons.
TEST_F(BenchLook, TabGoesThroughTheFieldsBeforeTheButtons) {
    dlg.m_bLinked = 1;
    Page(1);
    QApplication::processEvents();  // the order is made once the page is laid out
    QWidget* w = host.Widget(1035);
    w->setFocus();
    std::vector<QWidget*> seen{w};
    for (int i = 0; i < 6; ++i) {
        w = w->nextInFocusChain();
        while (!(w->isVisible() && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus))) w = w->nextInFocusChain();
        seen.push_back(w);
    }
    const std::vector<QWidget*> expected{host.Widget(1035), host.Widget(1036), host.Widget(1037), host.Widget(1038),
                                         host.Widget(ids::kRepeat), host.Widget(ids::kWait), host.Widget(1001)};
    EXPECT_EQ(seen, expected);
}

// Every button shown has an Alt key of its own; its caption reads as before.
TEST_F(BenchLook, ButtonsHaveMnemonicsOfTheirOwn) {
    for (int page = 0; page <= 5; ++page) {
        Page(page);
        QApplication::processEvents();  // the keys are given once the page is laid out
        QString keys;
        EachVisibleRow(page, [&](const LayoutRow& r, QWidget* w) {
            auto* b = qobject_cast<QPushButton*>(w);
            if (!b) return;
            const qsizetype amp = b->text().indexOf(QLatin1Char('&'));
            ASSERT_GE(amp, 0) << r.id;
            const QChar key = b->text()[amp + 1].toUpper();
            EXPECT_FALSE(keys.contains(key)) << r.id;
            keys += key;
            EXPECT_EQ(host.GetControlText(r.id), r.caption) << r.id;
        });
    }
}

// On every page each shortcut key belongs to one control, a text that names
// a field hands its key to that field, and Tab reaches every field that can
// be typed in.
TEST_F(BenchLook, EveryPageHasAKeyboardPath) {
    struct Case {
        int page;
        int typeable;             // fields open to typing once linked
        std::vector<int> keyed;   // controls that must carry a key of their own
    };
    const Case cases[] = {
        {0, 0, {1020, 1028, 1039, 1182}},  // OPEN, Port, Com1, Com10
        {1, 6, {1001, 1164, 1021, 1024, 1154, 1155}},  // DISPENSE, STOP, Box 1, Box 4, Repeat, Wait
        {2, 0, {1006, 1019}},
        {3, 12, {1011, 1043, 1114}},
        {4, 0, {1016, 1115, 1118}},
        {5, 0, {1170, 1173}},
    };
    QWidget* win = host.DialogWindow();
    Page(2);
    QApplication::processEvents();
    for (int id : {1046, 1052})  // the sensor boxes only show: their keys would do nothing
        EXPECT_TRUE(QKeySequence::mnemonic(host.Widget(id)->property("text").toString()).isEmpty()) << id;
    dlg.m_bLinked = 1;
    for (const Case& c : cases) {
        Page(c.page);
        QApplication::processEvents();  // the keys and the order come once the page is laid out
        std::map<int, QWidget*> owner;
        auto claim = [&](const QString& text, QWidget* w) {
            const int key = QKeySequence::mnemonic(text).isEmpty() ? 0 : QKeySequence::mnemonic(text)[0].toCombined();
            if (key == 0) return;
            EXPECT_TRUE(owner.emplace(key, w).second)
                << "page " << c.page << ": " << text.toStdString() << " and "
                << owner[key]->property("text").toString().toStdString();
        };
        for (QWidget* w : win->findChildren<QWidget*>()) {
            if (!w->isVisibleTo(win)) continue;
            if (auto* b = qobject_cast<QAbstractButton*>(w)) claim(b->text(), w);
            if (auto* l = qobject_cast<QLabel*>(w); l && l->buddy()) claim(l->text(), w);
            if (auto* bar = qobject_cast<QTabBar*>(w))
                for (int i = 0; i < bar->count(); ++i) claim(bar->tabText(i), w);
        }
        for (int id : c.keyed) {
            QWidget* w = host.Widget(id);
            const QString text = w->property("text").toString();
            EXPECT_FALSE(QKeySequence::mnemonic(text).isEmpty()) << "page " << c.page << " id " << id;
            EXPECT_EQ(host.GetControlText(id), FirstLayoutRow(id)->caption) << id;
            auto* l = qobject_cast<QLabel*>(w);
            if (!l || QKeySequence::mnemonic(text).isEmpty()) continue;
            // Its key puts the keyboard in its field.
            win->activateWindow();
            QApplication::processEvents();
            const QKeyCombination key = QKeySequence::mnemonic(text)[0];
            QKeyEvent press(QEvent::KeyPress, key.key(), key.keyboardModifiers());
            QApplication::sendEvent(QApplication::focusWidget() ? QApplication::focusWidget() : win, &press);
            QApplication::processEvents();
            EXPECT_EQ(QApplication::focusWidget(), l->buddy()) << "page " << c.page << " id " << id;
        }
        // Tab from the page tabs round to them again.
        std::set<QWidget*> reached;
        QWidget* w = host.Widget(ids::kTab);
        for (int step = 0; step < 1000 && reached.insert(w).second; ++step) {
            do w = w->nextInFocusChain();
            while (!(w->isVisibleTo(win) && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus)));
        }
        int typeable = 0;
        EachVisibleRow(c.page, [&](const LayoutRow& r, QWidget* f) {
            auto* e = qobject_cast<QLineEdit*>(f);
            if (!e || !e->isEnabled() || e->isReadOnly()) return;
            ++typeable;
            EXPECT_TRUE(reached.count(e)) << "page " << c.page << " id " << r.id;
        });
        EXPECT_EQ(typeable, c.typeable) << "page " << c.page;
    }
}

TEST(FitOnScreen, ScrollsOnlyWhereTheScreenIsSmaller) {
    struct Case {
        QSize client;
        QRect avail;
        QSize expected;
    };
    const Case cases[] = {
        {{502, 512}, {0, 0, 1920, 1050}, {502, 512}},  // fits
        {{502, 512}, {0, 0, 683, 384}, {516, 354}},    // 1366x768 at scale 2: scrolls down only
        {{502, 512}, {0, 0, 400, 300}, {400, 270}},    // both ways
    };
    for (const Case& c : cases) EXPECT_EQ(fw::FitOnScreen(c.client, 30, c.avail, 14), c.expected);
}

}  // namespace
