// Every dispense batch's record file: batch_YYMMDD_HHMMSS.csv in the records
// folder, made when the batch begins, its answers added as they come, its
// summary row written when it ends.  It reads the batch record on a timer, so
// the console's events only copy a few numbers; the batch record window, made
// only when opened, shows the file's path.  A folder that cannot be written is
// said once; the batch goes on.
#pragma once

#include "records/BatchRecord.h"
#include "records/RecordWriter.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class QTimer;
class QWidget;

namespace fw {

// The columns the window knows: port (COM n), command and arguments.
rec::RunFields RunFieldsOf(const rec::BatchRecord& record);

class BatchRecordFiles final : public QObject {
    Q_OBJECT
public:
    static constexpr int kRefreshMs = 200;

    // record must outlive this.  boxParent: the window a problem's box stands on.
    BatchRecordFiles(rec::BatchRecord& record, QString recordsDir, QWidget* boxParent);
    ~BatchRecordFiles() override;

    // The folder of the user's batch records: ~/.local/share/zantu/records.
    static QString DefaultRecordsDir();

    // Writes what the file lacks of the record (done on the timer).
    void WriteNewRows();

    QString RecordsDir() const { return m_dir; }
    // The file of the running or last batch ("" before any, or when it could
    // not be made).
    QString CurrentFile() const { return m_filePath; }
    // Why the last batch's file could not be made or written ("" when it could).
    QString Problem() const { return m_problem; }
    // Where a problem is said (default: standard error and a box that does not wait).
    void SetProblemReporter(std::function<void(const QString&)> report) { m_report = std::move(report); }

private:
    void Say(const QString& text);

    rec::BatchRecord& m_record;
    QString m_dir;
    QPointer<QWidget> m_boxParent;
    QTimer* m_timer;
    std::uint64_t m_batch = 0;     // the batch of the file
    std::size_t m_written = 0;     // its rows in the file
    bool m_summaryWritten = true;  // its summary row is in the file
    std::unique_ptr<rec::RecordWriter> m_file;
    QString m_filePath;
    QString m_problem;
    bool m_said = false;  // a problem with the records folder was said
    std::function<void(const QString&)> m_report;
};

}  // namespace fw
