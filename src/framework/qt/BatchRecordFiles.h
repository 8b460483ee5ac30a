// The batch record files (rec::BatchFiles) on a Qt timer, with a problem
// said on standard error and in a box that does not wait; and each batch in
// the station's results database (db::BatchResults, SQLite only here) where
// the build has it, a database that cannot be opened or written said once
// on standard error and where SetDatabaseReporter says.
#pragma once

#include "records/BatchFiles.h"
#include "records/BatchRecord.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class QTimer;
class QWidget;

namespace db {
class BatchResults;
}

namespace fw {

using rec::RunFieldsOf;

inline QString UnitForFileName(const QString& unit) {
    return QString::fromStdString(rec::UnitForFileName(unit.toStdString()));
}

class BatchRecordFiles final : public QObject {
    Q_OBJECT
public:
    static constexpr int kRefreshMs = 200;

    // record must outlive this.  boxParent: the window a problem's box
    // stands on.  database: the results file the batches go to ("": none).
    BatchRecordFiles(rec::BatchRecord& record, QString recordsDir, QWidget* boxParent, QString database = {});
    ~BatchRecordFiles() override;

    // The folder of the user's batch records: ~/.local/share/zantu/records.
    static QString DefaultRecordsDir();
    // The station's results file zantu-cli writes by default
    // (~/.local/share/zantu/results.db); "" in a build without it.
    static QString DefaultDatabase();

    // Writes what the file lacks of the record (done on the timer).  When
    // the program ends during a batch (EXIT, Esc, a stopping signal) the
    // batch ends here as interrupted and its summary row is written.
    void WriteNewRows();

    // The unit under test, as typed in the window's Unit field: written into
    // the rows and the file name of the batches that begin from now on.
    void SetUnit(const QString& unit) { m_files.SetUnit(unit.trimmed().toStdString()); }
    QString Unit() const { return QString::fromStdString(m_files.Unit()); }
    // The fields of every row of the running or last batch.
    rec::RunFields Fields() const { return m_files.Fields(); }

    QString RecordsDir() const { return m_dir; }
    // The file of the running or last batch ("" before any, or when it could
    // not be made).
    QString CurrentFile() const { return QString::fromStdString(m_files.CurrentFile()); }
    // Why the last batch's file could not be made or written ("" when it could).
    QString Problem() const { return QString::fromStdString(m_files.Problem()); }
    // Where a problem is said (default: standard error and a box that does not wait).
    void SetProblemReporter(std::function<void(const QString&)> report) { m_report = std::move(report); }
    // Where a results database that cannot be opened or written is said,
    // besides standard error (none: there only).
    void SetDatabaseReporter(std::function<void(const QString&)> report) { m_dbReport = std::move(report); }
    // Why the last batch is not in the results database ("" when it is, or without one).
    QString DatabaseProblem() const;

private:
    void Say(const QString& text);

    // Before the files: their last rows, written as they go, may say a
    // problem, and the batch cut short by the end goes to the database.
    QString m_dir;
    std::function<void(const QString&)> m_report;
    std::function<void(const QString&)> m_dbReport;
    std::unique_ptr<db::BatchResults> m_results;
    QPointer<QWidget> m_boxParent;
    rec::BatchFiles m_files;
    QTimer* m_timer;
};

}  // namespace fw
