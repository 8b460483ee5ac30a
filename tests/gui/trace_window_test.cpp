// The "Wire trace" window, offscreen: lines as the store holds them in a font
// of one width, Pause, Clear, the filter, Save as, the newest line kept in
// view and a scrolled-up view kept on its line; opened by Ctrl+T and from the
// console's context menu, beside the console or where the user left it.
#include "console/ConsoleDlg.h"
#include "framework/qt/FixedFont.h"
#include "framework/qt/QtHost.h"
#include "framework/qt/TraceWindow.h"
#include "link/LinkFrame.h"
#include "trace/WireTrace.h"

#include "CaptureWriter.h"
#include "TraceParse.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTest>
#include <QTimer>

#include <functional>
#include <string>

namespace {

QStringList Shown(const fw::TraceWindow& w) {
    const QString t = w.View()->toPlainText();
    return t.isEmpty() ? QStringList() : t.split(QLatin1Char('\n'));
}

struct TraceWindowTest : ::testing::Test {
    trace::LineStore store{1000};
    fw::TraceWindow win{store, nullptr};
    int next = 0;

    // Lines 0, 1, 2, ... : every third a frame, every fifth an error.
    void Add(int n) {
        for (int i = 0; i < n; ++i, ++next) {
            std::uint8_t flags = 0;
            if (next % 3 == 0) flags |= trace::kFrameLine;
            if (next % 5 == 0) flags |= trace::kErrorLine;
            const std::string text = "      0.000 RX 06 | line " + std::to_string(next);
            store.Put({0, flags, text});
        }
    }
    static QString Line(int i) { return QStringLiteral("      0.000 RX 06 | line %1").arg(i); }
    void SetUp() override {
        win.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&win));
    }
};

TEST_F(TraceWindowTest, ShowsNewLinesAndPauseHoldsTheViewWhileLinesGoOnBeingKept) {
    Add(4);
    win.Refresh();
    EXPECT_EQ(Shown(win), (QStringList{Line(0), Line(1), Line(2), Line(3)}));
    // Of one width as drawn, whatever the font system calls it.
    EXPECT_TRUE(fw::HasEqualAdvances(win.View()->font())) << QFontInfo(win.View()->font()).family().toStdString();

    win.PauseButton()->click();
    EXPECT_TRUE(win.Paused());
    Add(2);
    win.Refresh();
    EXPECT_EQ(Shown(win).size(), 4);
    win.PauseButton()->click();
    EXPECT_FALSE(win.Paused());
    EXPECT_EQ(Shown(win).size(), 6);
    EXPECT_EQ(Shown(win).back(), Line(5));

    // The window also looks by itself while shown.
    Add(1);
    QTest::qWait(3 * fw::TraceWindow::kRefreshMs);
    EXPECT_EQ(Shown(win).back(), Line(6));
}

TEST_F(TraceWindowTest, FilterShowsFramesOnlyOrErrorsOnlyAndClearEmptiesStoreAndView) {
    Add(16);
    win.Refresh();
    win.FilterBox()->setCurrentIndex(1);  // Frames only
    EXPECT_EQ(Shown(win), (QStringList{Line(0), Line(3), Line(6), Line(9), Line(12), Line(15)}));
    Add(3);  // 16, 17, 18
    win.Refresh();
    EXPECT_EQ(Shown(win).back(), Line(18));
    win.FilterBox()->setCurrentIndex(2);  // Errors only
    EXPECT_EQ(Shown(win), (QStringList{Line(0), Line(5), Line(10), Line(15)}));
    // Paused, a new filter applies to what was shown at the pause.
    win.SetPaused(true);
    Add(6);  // 19 .. 24
    win.FilterBox()->setCurrentIndex(0);
    EXPECT_EQ(Shown(win).size(), 19);
    win.SetPaused(false);
    EXPECT_EQ(Shown(win).size(), 25);

    win.ClearButton()->click();
    EXPECT_TRUE(Shown(win).isEmpty());
    EXPECT_EQ(store.Size(), 0u);
    Add(1);
    win.Refresh();
    EXPECT_EQ(Shown(win), QStringList{Line(25)});
}

TEST_F(TraceWindowTest, SaveAsWritesTheLinesShown) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    Add(10);
    win.Refresh();
    win.FilterBox()->setCurrentIndex(1);
    const QString path = dir.filePath(QStringLiteral("saved.txt"));
    win.SetSavePathAsker([&] { return path; });
    win.SaveButton()->click();
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(f.readAll()), Shown(win).join(QLatin1Char('\n')) + QLatin1Char('\n'));
    EXPECT_EQ(Shown(win).size(), 4);

    // A cancelled dialog saves nothing; a file that cannot be written says why.
    win.SetSavePathAsker([] { return QString(); });
    win.SaveButton()->click();
    QString error;
    const QString bad = dir.filePath(QStringLiteral("no/such/folder/x.txt"));
    EXPECT_FALSE(win.SaveTo(bad, &error));
    EXPECT_TRUE(error.contains(bad)) << error.toStdString();
}

TEST_F(TraceWindowTest, TheNewestLineStaysInViewUnlessTheUserScrolledUp) {
    win.resize(600, 200);
    Add(300);
    win.Refresh();
    QScrollBar* bar = win.View()->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());
    Add(50);
    win.Refresh();
    EXPECT_EQ(bar->value(), bar->maximum());
    bar->setValue(10);
    Add(50);
    win.Refresh();
    EXPECT_EQ(bar->value(), 10);
    EXPECT_EQ(Shown(win).size(), 400);
}

// A full view drops its oldest lines as new ones come: a view scrolled up
// stays on the line the user looks at.
TEST_F(TraceWindowTest, AScrolledUpViewStaysOnItsLineAsTheOldestAreDropped) {
    win.resize(600, 200);
    Add(1000);
    win.Refresh();
    QScrollBar* bar = win.View()->verticalScrollBar();
    bar->setValue(bar->maximum() / 2);
    const auto top = [&] { return win.View()->cursorForPosition(QPoint(4, 4)).block().text(); };
    const QString looked = top();
    Add(300);
    win.Refresh();
    EXPECT_EQ(Shown(win).size(), 1000);
    EXPECT_EQ(Shown(win).front(), Line(300));
    EXPECT_EQ(top(), looked);
}

// The console's window: Ctrl+T and the context menu open the trace window,
// non-modal and beside the console.
struct ConsoleTrace : ::testing::Test {
    trace::LineStore store;
    fw::QtHost host;
    CConsoleDlg dlg{host};
    void SetUp() override {
        host.SetWireTraceStore(&store);
        dlg.Create();
        host.DialogWindow()->show();
        host.DialogWindow()->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(host.DialogWindow()));
    }
};

TEST_F(ConsoleTrace, CtrlTOpensTheWindowBesideTheConsole) {
    ASSERT_NE(host.WireTraceAction(), nullptr);
    EXPECT_EQ(host.WireTraceAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_T));
    EXPECT_EQ(host.WireTraceWindow(), nullptr);
    QTest::keyClick(host.DialogWindow(), Qt::Key_T, Qt::ControlModifier);
    fw::TraceWindow* w = host.WireTraceWindow();
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->isVisible());
    EXPECT_FALSE(w->isModal());
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Wire trace"));
    const QRect c = host.DialogWindow()->frameGeometry();
    EXPECT_FALSE(w->geometry().intersects(c) && w->geometry().left() > c.left() + c.width() / 2)
        << "covers the console's right half";
    // Again: the same window, brought forward.
    QTest::keyClick(host.DialogWindow(), Qt::Key_T, Qt::ControlModifier);
    EXPECT_EQ(host.WireTraceWindow(), w);
}

// Where the user moved and sized the window is where it opens in the next run.
TEST(ConsoleTraceWindowPlace, TheWindowOpensWhereTheUserLeftIt) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QSettings settings(dir.filePath(QStringLiteral("zantu.ini")), QSettings::IniFormat);
    trace::LineStore store;
    const auto run = [&](const std::function<void(fw::TraceWindow&)>& use) {
        fw::QtHost host;
        host.SetSettings(&settings);
        host.SetWireTraceStore(&store);
        CConsoleDlg dlg{host};
        dlg.Create();
        host.DialogWindow()->show();
        host.ShowWireTrace();
        ASSERT_NE(host.WireTraceWindow(), nullptr);
        use(*host.WireTraceWindow());
    };
    run([](fw::TraceWindow& w) {
        w.move(40, 30);
        w.resize(600, 320);
        w.close();
    });
    run([](fw::TraceWindow& w) {
        EXPECT_EQ(w.pos(), QPoint(40, 30));
        EXPECT_EQ(w.size(), QSize(600, 320));
    });
}

TEST_F(ConsoleTrace, TheContextMenuHasTheWireTraceItem) {
    QStringList items;
    QTimer::singleShot(50, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) return;
        for (QAction* a : menu->actions()) items << a->text();
        if (host.WireTraceAction()) host.WireTraceAction()->trigger();
        menu->close();
    });
    QContextMenuEvent e(QContextMenuEvent::Mouse, QPoint(5, 5), host.DialogWindow()->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(host.DialogWindow(), &e);
    EXPECT_TRUE(items.contains(QStringLiteral("Wire trace"))) << items.join(QLatin1Char('|')).toStdString();
    ASSERT_NE(host.WireTraceWindow(), nullptr);
    EXPECT_TRUE(host.WireTraceWindow()->isVisible());
}

// Logging from the window: started and stopped at any time, the file begins
// with the header (date with UTC offset, port and device, console, image) and
// holds the lines of its time as the window shows them, time of day first and
// an answer's decoded fields on its line; a file that cannot be written is
// said in the window, nothing logged.
TEST(ConsoleTraceLog, StartAndStopLogWithTheHeaderAndTheAnswersFields) {
    trace::LineStore store;
    trace::WireTrace wire;
    wire.AddSink(&store);
    fw::QtHost host;
    host.SetWireTraceStore(&store);
    host.SetWireTrace(&wire, QStringLiteral("zantu-console 1.2"));
    CConsoleDlg dlg{host};
    CaptureWriter out;
    dlg.Subscribe(&wire);
    dlg.Create();
    dlg.m_pWriter = &out;
    dlg.m_bLinked = 1;
    host.DialogWindow()->show();
    host.ShowWireTrace();
    fw::TraceWindow* w = host.WireTraceWindow();
    ASSERT_NE(w, nullptr);
    w->SetFailureBoxes(false);
    // What the core tells at OPEN and when a HEX file is read.
    dlg.TraceLink(ev::LinkEvent::Open, 1, "/dev/ttyUSB7");
    const ev::ImageIdentity image{"fw.hex", 12, 1536, 0x1A2B, 0xDEADBEEF};
    dlg.Notify(ev::Notice{.kind = ev::NoticeKind::ImageLoaded, .image = &image});

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("session.log"));
    w->SetLogPathAsker([&] { return path; });
    ASSERT_TRUE(w->LogButton()->isEnabled());
    w->LogButton()->click();
    ASSERT_TRUE(w->Logging());
    EXPECT_EQ(w->LogButton()->text(), QStringLiteral("Stop log"));
    EXPECT_TRUE(w->LogState()->text().contains(path)) << w->LogState()->text().toStdString();

    const auto status = [&] {
        const std::size_t before = out.writes.size();
        dlg.OnCommand(1006);  // STATUS
        ASSERT_EQ(out.writes.size(), before + 1);
        const std::uint8_t ack = proto::ACK;
        dlg.ReceiveBytes(&ack, 1);
        std::vector<std::uint8_t> f{proto::SOH, '0', '0', 'P', ' ', 0x21, 0x22};
        for (int box = 0; box < 4; ++box)
            for (std::uint8_t b : {std::uint8_t{0x24}, std::uint8_t{0x20}, std::uint8_t{0x3A}, std::uint8_t{0x2B}})
                f.push_back(b);
        f.push_back(proto::ETX);
        f.push_back(proto::Xor(f.data(), f.size()));
        dlg.ReceiveBytes(f.data(), f.size());
    };
    status();
    w->Refresh();
    const std::uint64_t loggedEnd = store.End();
    w->LogButton()->click();
    EXPECT_FALSE(w->Logging());
    EXPECT_TRUE(w->LogState()->text().startsWith(QStringLiteral("Log stopped"))) << w->LogState()->text().toStdString();
    status();  // after the stop: not in the file

    std::vector<std::string> header;
    const auto lines = ReadTraceFile(path.toStdString(), nullptr, &header);
    ASSERT_EQ(header.size(), 4u);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^# wire trace started \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d [+-]\\d\\d:\\d\\d$"))
                    .match(QString::fromStdString(header[0]))
                    .hasMatch())
        << header[0];
    EXPECT_EQ(header[1], "# port COM1 /dev/ttyUSB7");
    EXPECT_EQ(header[2], "# console zantu-console 1.2");
    EXPECT_EQ(header[3], "# image fw.hex: 12 records, 1536 bytes, sum 0x1A2B, CRC-32 0xDEADBEEF");
    // TX STATUS, RX ACK, RX the answer, TX its ACK: as the window shows them.
    ASSERT_EQ(lines.size(), 4u);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        ASSERT_TRUE(ParseTraceLine(lines[i], true)) << lines[i];
        EXPECT_EQ(QString::fromStdString(lines[i]), w->Shown(loggedEnd - 4 + i));
    }
    const auto answer = ParseTraceLine(lines[2], true);
    EXPECT_EQ(answer->dir, "RX");
    EXPECT_NE(answer->what.find("response 'P' STATUS; P: dvtl 1 dvtr 0"), std::string::npos) << answer->what;
    EXPECT_NE(answer->what.find("opacity 1A,1A,1A,1A length B,B,B,B"), std::string::npos) << answer->what;
    // The window's view has the time of day in front too.
    EXPECT_TRUE(w->View()->toPlainText().contains(QString::fromStdString(lines[2])));

    // A file that cannot take the header: said, nothing logged.
    w->SetLogPathAsker([] { return QStringLiteral("/dev/full"); });
    w->LogButton()->click();
    EXPECT_FALSE(w->Logging());
    EXPECT_TRUE(w->LogState()->text().contains(QStringLiteral("/dev/full': No space left on device")))
        << w->LogState()->text().toStdString();
    dlg.Unsubscribe(&wire);
}

}  // namespace
