// The "Batch record" window and its files, offscreen, fed with the console's
// events as the console tells them: the table and the charts follow the
// answers, each batch leaves its CSV file in the records folder, Save as and Save chart, a folder
// that cannot be written; Ctrl+B and the context menu open it beside the
// console.
#include "commands/CommandType.h"
#include "console/ConsoleDlg.h"
#include "framework/qt/BatchRecordWindow.h"
#include "framework/qt/Placement.h"
#include "framework/qt/QtHost.h"
#include "records/RecordWriter.h"
#if ZANTU_HAVE_RESULTS
#include "results/Database.h"
#endif

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QBarSet>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QLineSeries>
#include <QMenu>
#include <QScreen>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QValueAxis>

#include <cmath>
#include <cstdint>

namespace {

QStringList Lines(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    QStringList lines = QString::fromUtf8(f.readAll()).split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.back().isEmpty()) lines.pop_back();
    return lines;
}

struct BatchRecordWindowTest : ::testing::Test {
    QTemporaryDir tmp;
    std::int64_t now = 1'796'817'600'000;
    rec::BatchRecord record{[this] { return now; }};
    ev::FrameNote frame;

    void Press(int type, int id, int runs = 1) {
        record.Pressed(ev::Press{id, type});
        frame.type = type;
        ev::TxNote note;
        note.kind = ev::TxKind::FirstSend;
        note.frame = &frame;
        note.runs = runs;
        const std::uint8_t byte = 0x04;
        record.Written(&byte, 1, note);
    }
    // Answer k of n: box 1 asked 10, rejects 1 note ("SKW") every second answer.
    void Answer(int type, int k, int n) {
        ev::DispenseCounts c;
        c.requested[0] = 10;
        c.rejected[0] = k % 2;
        c.dispensed[0] = 10 - c.rejected[0];
        c.reasons[3] = c.rejected[0];
        ev::Answer a;
        a.type = type;
        a.awaited = true;
        a.index = k;
        a.of = n;
        a.counts = &c;
        now += 1000;
        record.Answered(a);
    }
};

TEST_F(BatchRecordWindowTest, AnswersFillTheTableTheChartsAndTheBatchFile) {
    const QString dir = tmp.path() + QStringLiteral("/records");
    fw::BatchRecordFiles files(record, dir, nullptr);
    fw::BatchRecordWindow win(record, files, nullptr);
    QString said;
    files.SetProblemReporter([&](const QString& s) { said = s; });
    win.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&win));

    Press(cmd::kDispense, 1001, 4);
    for (int k = 1; k <= 3; ++k) Answer(cmd::kDispense, k, 4);
    win.Refresh();
    EXPECT_EQ(win.Table()->model()->rowCount(), 3);
    EXPECT_EQ(win.Table()->model()->index(1, 1).data().toString(), QStringLiteral("2 of 4"));
    EXPECT_EQ(win.AnswerAxis()->max(), 4);
    ASSERT_EQ(win.RateSeries(0)->count(), 3);
    // Cumulative: 1 of 10 picked, 1 of 20, 2 of 30.
    EXPECT_DOUBLE_EQ(win.RateSeries(0)->at(0).y(), 10.0);
    EXPECT_DOUBLE_EQ(win.RateSeries(0)->at(1).y(), 5.0);
    EXPECT_NEAR(win.RateSeries(0)->at(2).y(), 100.0 * 2 / 30, 1e-9);
    EXPECT_DOUBLE_EQ(win.RateSeries(1)->at(2).y(), 0.0);
    EXPECT_EQ(win.Reasons()->at(3), 2);

    // The file holds the answers so far; it is named for the batch's start.
    const QString file = files.CurrentFile();
    EXPECT_EQ(QFileInfo(file).dir().path(), dir);
    EXPECT_TRUE(QFileInfo(file).fileName().startsWith(QStringLiteral("batch_"))) << file.toStdString();
    EXPECT_TRUE(win.PathLabel()->text().contains(QFileInfo(file).fileName()));
    EXPECT_EQ(Lines(file).size(), 4);

    Answer(cmd::kDispense, 4, 4);
    win.Refresh();
    const QStringList lines = Lines(file);
    ASSERT_EQ(lines.size(), 6);  // header, four answers, the summary
    EXPECT_EQ(lines[0].toStdString(), rec::CsvHeader());
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("answer,2026-")));
    EXPECT_TRUE(lines[5].startsWith(QStringLiteral("summary,")));
    EXPECT_TRUE(lines[5].contains(QStringLiteral(",dispense,10 0 0 0 --repeat 4,4,4,40,0,0,0,38,")));
    EXPECT_TRUE(lines[5].contains(QStringLiteral(",,ok,,")));
    EXPECT_TRUE(said.isEmpty());

    // Save as writes the record elsewhere, as JSON lines by its name; Save
    // chart as PNG or SVG.
    win.SetSavePathAsker([&](const QString&) { return tmp.path() + QStringLiteral("/copy.jsonl"); });
    win.SaveAs();
    EXPECT_EQ(Lines(tmp.path() + QStringLiteral("/copy.jsonl")).join(QString()).count(QLatin1Char('\n')), 5);
    QString error;
    ASSERT_TRUE(win.SaveChartTo(tmp.path() + QStringLiteral("/chart.png"), &error)) << error.toStdString();
    ASSERT_TRUE(win.SaveChartTo(tmp.path() + QStringLiteral("/chart.svg"), &error)) << error.toStdString();
    QFile png(tmp.path() + QStringLiteral("/chart.png")), svg(tmp.path() + QStringLiteral("/chart.svg"));
    ASSERT_TRUE(png.open(QIODevice::ReadOnly) && svg.open(QIODevice::ReadOnly));
    EXPECT_TRUE(png.read(8).startsWith("\x89PNG"));
    EXPECT_TRUE(svg.readAll().contains("<svg"));

    // The next batch: a new file, the table and the charts begin again.
    now += 2000;
    Press(cmd::kPurge, 1002);
    Answer(cmd::kPurge, 1, 1);
    win.Refresh();
    EXPECT_NE(files.CurrentFile(), file);
    EXPECT_EQ(win.Table()->model()->rowCount(), 1);
    EXPECT_EQ(win.RateSeries(0)->count(), 1);
    EXPECT_EQ(QDir(dir).entryList(QDir::Files).size(), 2);
}

TEST_F(BatchRecordWindowTest, AFolderThatCannotBeWrittenIsSaidOnceAndTheBatchGoesOn) {
    QFile blocker(tmp.path() + QStringLiteral("/file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    fw::BatchRecordFiles files(record, blocker.fileName() + QStringLiteral("/records"), nullptr);
    fw::BatchRecordWindow win(record, files, nullptr);
    QStringList said;
    files.SetProblemReporter([&](const QString& s) { said << s; });
    for (int batch = 0; batch < 2; ++batch) {
        Press(cmd::kZigzag, 1005, 2);
        Answer(cmd::kZigzag, 1, 2);
        win.Refresh();
        Answer(cmd::kZigzag, 2, 2);
        win.Refresh();
    }
    EXPECT_EQ(said.size(), 1) << said.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(files.CurrentFile().isEmpty());
    EXPECT_EQ(win.Table()->model()->rowCount(), 2);
    EXPECT_TRUE(win.PathLabel()->text().contains(QStringLiteral("records"))) << win.PathLabel()->text().toStdString();
}

#if ZANTU_HAVE_RESULTS
// The rows of a table as text, "|" between columns, one string a row.
QStringList Query(const QString& file, const std::string& sql) {
    std::string why;
    auto c = db::OpenSqlite(file.toStdString(), &why);
    std::vector<db::Row> rows;
    if (!c || !c->Run(sql, {}, &rows)) return {QString::fromStdString(c ? c->Error() : why)};
    QStringList out;
    for (const db::Row& row : rows) {
        QStringList cells;
        for (const auto& v : row) cells << QString::fromStdString(v.value_or("NULL"));
        out << cells.join(QLatin1Char('|'));
    }
    return out;
}

// A window's batch is in the results file as zantu-cli --record writes a
// command: a run with the console as its tool, the unit, the step and every answer.
TEST_F(BatchRecordWindowTest, ABatchLeavesItsRunUnitAndAnswersInTheResultsFile) {
    const QString database = tmp.path() + QStringLiteral("/data/results.db");
    fw::BatchRecordFiles files(record, tmp.path() + QStringLiteral("/records"), nullptr, database);
    files.SetUnit(QStringLiteral("SN7"));
    record.Link(ev::LinkEvent::Open, 3, {});
    Press(cmd::kDispense, 1001, 3);
    Answer(cmd::kDispense, 1, 3);
    files.WriteNewRows();  // the run and its unit, "running"
    EXPECT_EQ(Query(database, "SELECT command, result FROM runs"), QStringList{QStringLiteral("dispense|running")});
    for (int k = 2; k <= 3; ++k) Answer(cmd::kDispense, k, 3);
    files.WriteNewRows();

    const QStringList runs = Query(database, "SELECT command, result, exit_status, tool_version FROM runs");
    ASSERT_EQ(runs.size(), 1) << runs.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(runs[0].startsWith(QStringLiteral("dispense|ok|0|zantu_gui_tests "))) << runs[0].toStdString();
    EXPECT_EQ(Query(database, "SELECT port, unit, verdict FROM units"), QStringList{QStringLiteral("COM3|SN7|pass")});
    EXPECT_EQ(Query(database, "SELECT name, arguments, outcome, result FROM steps"),
              QStringList{QStringLiteral("dispense|10 0 0 0 --repeat 3|pass|ok")});
    EXPECT_EQ(Query(database, "SELECT answer, answers_of, requested_1, dispensed_1, rejected_1, reason_skw "
                              "FROM answers ORDER BY answer"),
              (QStringList{QStringLiteral("1|3|10|9|1|1"), QStringLiteral("2|3|10|10|0|0"),
                           QStringLiteral("3|3|10|9|1|1")}));
    EXPECT_EQ(Lines(files.CurrentFile()).size(), 5);  // the file as ever: header, answers, summary
    EXPECT_TRUE(files.DatabaseProblem().isEmpty()) << files.DatabaseProblem().toStdString();
}

// A results file that cannot be opened stops neither the batches nor their
// files, and is said once.
TEST_F(BatchRecordWindowTest, AResultsFileThatCannotBeOpenedIsSaidOnceAndTheFilesGoOn) {
    QFile blocker(tmp.path() + QStringLiteral("/file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString dir = tmp.path() + QStringLiteral("/records");
    fw::BatchRecordFiles files(record, dir, nullptr, blocker.fileName() + QStringLiteral("/results.db"));
    QStringList said;
    files.SetDatabaseReporter([&](const QString& s) { said << s; });
    for (int batch = 0; batch < 2; ++batch) {
        Press(cmd::kZigzag, 1005, 2);
        Answer(cmd::kZigzag, 1, 2);
        files.WriteNewRows();
        Answer(cmd::kZigzag, 2, 2);
        files.WriteNewRows();
        now += 1000;  // the next batch's file in another second
    }
    EXPECT_EQ(said.size(), 1) << said.join(QLatin1Char('|')).toStdString();
    EXPECT_FALSE(files.DatabaseProblem().isEmpty());
    const QStringList written = QDir(dir).entryList(QDir::Files);
    ASSERT_EQ(written.size(), 2);
    for (const QString& f : written) EXPECT_EQ(Lines(dir + QLatin1Char('/') + f).size(), 4) << f.toStdString();
}
#endif

// The charts read right: every tick of the answer, rate and reasons axes
// stands on a whole number, and every reason is named in the window and in
// the saved SVG, also narrowed beside the console.
TEST_F(BatchRecordWindowTest, ChartsHaveWholeTicksAndNamedReasons) {
    fw::BatchRecordFiles files(record, tmp.path() + QStringLiteral("/records"), nullptr);
    fw::BatchRecordWindow win(record, files, nullptr);
    files.SetUnit(QStringLiteral("SN 41/7"));
    Press(cmd::kDispense, 1001, 3);
    for (int k = 1; k <= 3; ++k) Answer(cmd::kDispense, k, 3);
    win.Refresh();
    for (QValueAxis* axis : {win.AnswerAxis(), win.RateAxis(), win.ReasonAxis()}) {
        EXPECT_EQ(axis->tickType(), QValueAxis::TicksDynamic);
        EXPECT_GE(axis->tickInterval(), 1.0);
        EXPECT_EQ(axis->tickInterval(), std::floor(axis->tickInterval()));
        EXPECT_EQ(axis->tickAnchor(), std::floor(axis->tickAnchor()));
        EXPECT_EQ(axis->labelFormat(), QStringLiteral("%d"));
    }
    EXPECT_EQ(win.AnswerAxis()->tickInterval(), 1.0);  // Repeat 3: 1 2 3
    for (const QSize size : {QSize(760, 620), QSize(420, 620)}) {
        win.resize(size);
        win.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&win));
        QString error;
        const QString svgPath = tmp.path() + QStringLiteral("/chart.svg");
        ASSERT_TRUE(win.SaveChartTo(svgPath, &error)) << error.toStdString();
        QFile svg(svgPath);
        ASSERT_TRUE(svg.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(svg.readAll());
        for (std::string_view name : rec::kReasonNames)
            EXPECT_TRUE(text.contains(QLatin1Char('>') + QString::fromUtf8(name.data(), qsizetype(name.size())) +
                                      QLatin1Char('<')))
                << name << " at " << size.width();
        EXPECT_FALSE(text.contains(QStringLiteral("...")) || text.contains(QChar(0x2026))) << size.width();
        // The saved chart names the unit, the batch and its start.
        EXPECT_TRUE(text.contains(QStringLiteral("Unit SN 41/7, batch 1"))) << size.width();
    }
    EXPECT_TRUE(win.ChartFileName().startsWith(QStringLiteral("SN_41_7_batch1_"))) << win.ChartFileName().toStdString();
    EXPECT_TRUE(files.CurrentFile().endsWith(QStringLiteral("_SN_41_7.csv"))) << files.CurrentFile().toStdString();
    EXPECT_TRUE(Lines(files.CurrentFile()).value(1).contains(QStringLiteral(",SN 41/7,dispense,")));
}

// STOP in the window asks the console to stop; the window ending mid-batch
// (EXIT, Esc, a signal) writes the summary row, interrupted; Save as keeps
// the batch's end time.
TEST_F(BatchRecordWindowTest, StopAndTheEndOfTheWindowWriteTheSummary) {
    const QString dir = tmp.path() + QStringLiteral("/records");
    QString file;
    {
        fw::BatchRecordFiles files(record, dir, nullptr);
        fw::BatchRecordWindow win(record, files, nullptr);
        int stops = 0;
        win.SetStopper([&] {
            ++stops;
            record.Noticed(ev::Notice{.kind = ev::NoticeKind::BatchStopped});
        });
        EXPECT_FALSE(win.StopButton()->isEnabled());  // no batch runs
        Press(cmd::kDispense, 1001, 4);
        Answer(cmd::kDispense, 1, 4);
        win.Refresh();
        ASSERT_TRUE(win.StopButton()->isEnabled());
        QTest::mouseClick(win.StopButton(), Qt::LeftButton);
        EXPECT_EQ(stops, 1);
        record.Idle(true);  // the console ended the batch after the exchange under way
        const std::int64_t end = now;
        win.Refresh();
        EXPECT_FALSE(win.StopButton()->isEnabled());
        QStringList lines = Lines(files.CurrentFile());
        ASSERT_EQ(lines.size(), 3);
        EXPECT_TRUE(lines[2].startsWith(QStringLiteral("summary,")));
        EXPECT_TRUE(lines[2].contains(QStringLiteral(",stopped,")));

        now += 60'000;  // saved a minute later: the summary keeps the batch's end
        win.SetSavePathAsker([&](const QString&) { return tmp.path() + QStringLiteral("/copy.csv"); });
        win.SaveAs();
        lines = Lines(tmp.path() + QStringLiteral("/copy.csv"));
        ASSERT_EQ(lines.size(), 3);
        EXPECT_TRUE(lines[2].contains(QString::fromStdString(rec::FormatTime(end)))) << lines[2].toStdString();

        // The next batch runs when the window ends.
        Press(cmd::kDispense, 1001, 4);
        Answer(cmd::kDispense, 1, 4);
        win.Refresh();
        file = files.CurrentFile();
    }
    const QStringList lines = Lines(file);
    ASSERT_EQ(lines.size(), 3) << lines.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(lines[2].startsWith(QStringLiteral("summary,")));
    EXPECT_TRUE(lines[2].contains(QStringLiteral(",interrupted,"))) << lines[2].toStdString();
    EXPECT_TRUE(lines[2].contains(QStringLiteral(",10 0 0 0 --repeat 4,1,4,")));
}

// The console's window: Ctrl+B and the context menu open the batch record,
// beside the console.
struct ConsoleRecord : ::testing::Test {
    QTemporaryDir tmp;
    rec::BatchRecord record;
    fw::QtHost host;
    CConsoleDlg dlg{host};
    void SetUp() override {
        host.SetBatchRecord(&record, tmp.path());
        dlg.Create();
        dlg.Subscribe(&record);
        host.DialogWindow()->show();
        host.DialogWindow()->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(host.DialogWindow()));
    }
};

TEST_F(ConsoleRecord, CtrlBAndTheContextMenuOpenItBesideTheConsole) {
    ASSERT_NE(host.BatchRecordAction(), nullptr);
    EXPECT_EQ(host.BatchRecordAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_B));
    ASSERT_NE(host.BatchFiles(), nullptr);  // the files are kept from the start
    EXPECT_EQ(host.BatchRecordWnd(), nullptr);  // the window is made when opened

    QStringList items;
    QTimer::singleShot(50, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) return;
        for (QAction* a : menu->actions()) items << a->text();
        menu->close();
    });
    QContextMenuEvent e(QContextMenuEvent::Mouse, QPoint(5, 5), host.DialogWindow()->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(host.DialogWindow(), &e);
    EXPECT_TRUE(items.contains(QStringLiteral("Batch record"))) << items.join(QLatin1Char('|')).toStdString();

    // In a corner of the screen, so that there is room beside it.
    host.DialogWindow()->move(host.DialogWindow()->screen()->availableGeometry().topLeft());
    QTest::keyClick(host.DialogWindow(), Qt::Key_B, Qt::ControlModifier);
    fw::BatchRecordWindow* w = host.BatchRecordWnd();
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->isVisible());
    EXPECT_FALSE(w->isModal());
    EXPECT_FALSE(w->frameGeometry().intersects(host.DialogWindow()->frameGeometry()));
}

}  // namespace
