// The "Batch record" window: the running or last dispense batch, one table
// row per answer, and above it two live charts: the cumulative reject rate of
// each box against the answer number, and the batch's rejects by reason.
// Non-modal, beside the console.
//
// It reads the batch record on a timer, so the console's events only copy a
// few numbers: new answers reach the table, the charts (their new points
// appended, the axes fixed for the batch) and the batch's record file at most
// kRefreshMs later, a whole batch of them at once.  The file is written whether
// the window is shown or not: every batch leaves batch_YYMMDD_HHMMSS.csv in the
// records folder.  A folder that cannot be written is said once; the batch
// goes on.
#pragma once

#include "records/BatchRecord.h"
#include "records/RecordWriter.h"

#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class QBarSet;
class QChart;
class QChartView;
class QLabel;
class QLineSeries;
class QPushButton;
class QTableView;
class QTimer;
class QUrl;
class QValueAxis;

namespace fw {

class BatchRecordModel;

class BatchRecordWindow final : public QWidget {
    Q_OBJECT
public:
    static constexpr int kRefreshMs = 200;

    // record must outlive the window.  recordsDir: where each batch's file goes
    // (made when the first batch begins).
    BatchRecordWindow(rec::BatchRecord& record, QString recordsDir, QWidget* parent);
    ~BatchRecordWindow() override;

    // The folder of the user's batch records: ~/.local/share/zantu/records.
    static QString DefaultRecordsDir();

    // Takes in what the record holds that was not taken in yet.
    void Refresh();

    // The file of the running or last batch ("" before any, or when it could
    // not be made).
    QString CurrentFile() const { return m_filePath; }
    QString RecordsDir() const { return m_dir; }
    // Writes the record of the running or last batch to path (CSV, or JSON
    // lines for a name ending in .jsonl), replacing it.
    bool SaveTo(const QString& path, QString* error) const;
    // Writes the charts as SVG (a name ending in .svg) or PNG.
    bool SaveChartTo(const QString& path, QString* error);
    // Ask for a name (the file dialog, or what a test gives), save, and say so
    // in a box when it fails.
    void SaveAs();
    void SaveChart();
    void OpenFolder();

    void SetSavePathAsker(std::function<QString(const QString& suggested)> ask) { m_askPath = std::move(ask); }
    void SetFolderOpener(std::function<bool(const QUrl&)> open) { m_openUrl = std::move(open); }
    // Where a record file that cannot be written is said (default: standard
    // error and a box that does not wait).
    void SetProblemReporter(std::function<void(const QString&)> report) { m_report = std::move(report); }

    QTableView* Table() const { return m_table; }
    QLineSeries* RateSeries(int box) const { return m_rate[box]; }
    QBarSet* Reasons() const { return m_reasons; }
    QValueAxis* AnswerAxis() const { return m_axisX; }
    QLabel* PathLabel() const { return m_path; }
    QPushButton* OpenFolderButton() const { return m_openFolder; }
    QPushButton* SaveButton() const { return m_save; }
    QPushButton* SaveChartButton() const { return m_saveChart; }
    QWidget* Charts() const { return m_charts; }

private:
    // The record file of the batch the record holds: made at its start, its
    // new rows added, its summary written at its end.
    void WriteNewRows();
    void Problem(const QString& text);
    void ShowPath();
    rec::RunFields Fields() const;

    rec::BatchRecord& m_record;
    QString m_dir;
    BatchRecordModel* m_model;
    QTableView* m_table;
    QWidget* m_charts;
    QChart* m_rateChart;
    QChart* m_reasonChart;
    QLineSeries* m_rate[rec::kBoxes];
    QValueAxis* m_axisX;
    QValueAxis* m_axisY;
    QBarSet* m_reasons;
    QValueAxis* m_reasonAxis;
    QLabel* m_title;
    QLabel* m_path;
    QPushButton* m_openFolder;
    QPushButton* m_save;
    QPushButton* m_saveChart;
    QTimer* m_timer;

    std::uint64_t m_shownBatch = 0;  // the batch in the table and charts
    std::size_t m_taken = 0;         // its rows there
    std::uint64_t m_batch = 0;       // the batch of the record file
    std::size_t m_written = 0;       // its rows in the file
    bool m_summaryWritten = true;    // its summary row is in the file
    rec::Counts m_sum;             // the sums over the rows taken in
    double m_maxRate = 0;
    std::unique_ptr<rec::RecordWriter> m_file;
    QString m_filePath;
    QString m_fileError;
    bool m_said = false;  // a problem with the records folder was said

    std::function<QString(const QString&)> m_askPath;
    std::function<bool(const QUrl&)> m_openUrl;
    std::function<void(const QString&)> m_report;
};

}  // namespace fw
