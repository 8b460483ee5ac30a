// The "Batch record" window: the running or last dispense batch, one table
// row per answer, and above it two live charts: the cumulative reject rate of
// each box against the answer number, and the batch's rejects by reason.
// Non-modal, beside the console.
//
// While shown it reads the batch record on a timer, so the console's events
// only copy a few numbers: new answers reach the table and the charts (their
// new points appended, the axes fixed for the batch) at most kRefreshMs later,
// all that came at once.  The batch's record file is BatchRecordFiles's; the
// window shows its path.
#pragma once

#include "framework/qt/BatchRecordFiles.h"
#include "records/BatchRecord.h"

#include <QList>
#include <QPointF>
#include <QString>
#include <QWidget>

#include <functional>

class QBarSet;
class QChart;
class QChartView;
class QLabel;
class QLineEdit;
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

    // record and files must outlive the window.
    BatchRecordWindow(rec::BatchRecord& record, BatchRecordFiles& files, QWidget* parent);

    // Takes in what the record holds that was not taken in yet (the file
    // first, so the path shown is the batch's).
    void Refresh();

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
    // What STOP does: end the running batch after the exchange under way.
    void SetStopper(std::function<void()> stop);
    // The name Save chart suggests: the unit, the batch and its start.
    QString ChartFileName() const;
    void SetFolderOpener(std::function<bool(const QUrl&)> open) { m_openUrl = std::move(open); }

    QTableView* Table() const { return m_table; }
    QLineSeries* RateSeries(int box) const { return m_rate[box]; }
    QBarSet* Reasons() const { return m_reasons; }
    QValueAxis* AnswerAxis() const { return m_axisX; }
    QLabel* PathLabel() const { return m_path; }
    QPushButton* OpenFolderButton() const { return m_openFolder; }
    QPushButton* SaveButton() const { return m_save; }
    QPushButton* SaveChartButton() const { return m_saveChart; }
    QPushButton* StopButton() const { return m_stopButton; }
    QLineEdit* UnitField() const { return m_unit; }
    QWidget* Charts() const { return m_charts; }
    QValueAxis* RateAxis() const { return m_axisY; }
    QValueAxis* ReasonAxis() const { return m_reasonAxis; }
    QLabel* ChartCaption() const { return m_caption; }

protected:
    void showEvent(QShowEvent* e) override;
    void hideEvent(QHideEvent* e) override;

private:
    void ShowPath();

    rec::BatchRecord& m_record;
    BatchRecordFiles& m_files;
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
    QPushButton* m_stopButton;
    QLineEdit* m_unit;
    QLabel* m_caption;  // above the charts: unit, batch and time, saved with them
    QTimer* m_timer;
    std::function<void()> m_stop;

    std::uint64_t m_shownBatch = 0;  // the batch in the table and charts
    std::size_t m_taken = 0;         // its rows there
    rec::Counts m_sum;               // the sums over the rows taken in
    QList<QPointF> m_points[rec::kBoxes];  // each box's rate, as the series holds it
    double m_maxRate = 0;

    std::function<QString(const QString&)> m_askPath;
    std::function<bool(const QUrl&)> m_openUrl;
};

}  // namespace fw
