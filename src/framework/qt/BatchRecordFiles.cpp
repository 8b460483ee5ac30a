#include "framework/qt/BatchRecordFiles.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QStandardPaths>
#include <QTimer>
#include <QWidget>

#include <cstdio>

namespace fw {

rec::RunFields RunFieldsOf(const rec::BatchRecord& record) {
    rec::RunFields f;
    if (record.Info().port > 0) f.port = "COM" + std::to_string(record.Info().port);
    f.command = std::string(rec::CommandName(record.Info().type));
    f.arguments = record.Arguments();
    return f;
}

BatchRecordFiles::BatchRecordFiles(rec::BatchRecord& record, QString recordsDir, QWidget* boxParent)
    : m_record(record), m_dir(std::move(recordsDir)), m_boxParent(boxParent) {
    m_timer = new QTimer(this);
    m_timer->setInterval(kRefreshMs);
    connect(m_timer, &QTimer::timeout, this, [this] { WriteNewRows(); });
    m_timer->start();
    // A new batch drops the last one's rows: what the file lacks goes out first.
    m_record.SetBeforeNewBatch([this] { WriteNewRows(); });
}

BatchRecordFiles::~BatchRecordFiles() {
    m_record.SetBeforeNewBatch(nullptr);
    // A batch cut short by the end of the program keeps what came.
    WriteNewRows();
}

QString BatchRecordFiles::DefaultRecordsDir() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/zantu/records");
}

void BatchRecordFiles::Say(const QString& text) {
    m_problem = text;
    if (m_said) return;
    m_said = true;
    if (m_report) {
        m_report(text);
        return;
    }
    std::fprintf(stderr, "zantu-console: %s\n", qPrintable(text));
    if (!m_boxParent) return;
    auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Batch record"), text, QMessageBox::Ok,
                                m_boxParent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);  // the batch goes on
    box->show();
}

void BatchRecordFiles::WriteNewRows() {
    const rec::BatchInfo& info = m_record.Info();
    if (info.number == 0) return;
    if (info.number != m_batch) {
        // A batch the file has not seen: the last one's file is complete (its
        // summary went out when it ended, or just before this one began).
        m_file.reset();
        m_batch = info.number;
        m_written = 0;
        m_summaryWritten = false;
        m_filePath.clear();
        m_problem.clear();
        const QString stem =
            QStringLiteral("%1/batch_%2")
                .arg(m_dir, QDateTime::fromMSecsSinceEpoch(info.startMs).toString(QStringLiteral("yyMMdd_HHmmss")));
        std::string error;
        if (!QDir().mkpath(m_dir)) {
            error = "cannot make the records folder " + m_dir.toStdString();
        } else {
            // Two batches in one second: the second file is batch_..._2.csv.
            for (int n = 1; n <= 99 && !m_file; ++n) {
                const QString path =
                    n == 1 ? stem + QStringLiteral(".csv") : QStringLiteral("%1_%2.csv").arg(stem).arg(n);
                m_file = rec::RecordWriter::Open(path.toStdString(), rec::RecordWriter::Mode::CreateNew,
                                                 rec::Format::Csv, &error);
                if (m_file)
                    m_filePath = path;
                else if (!QFileInfo::exists(path))
                    break;  // not a name taken: the folder refuses
            }
        }
        if (m_file)
            m_said = false;
        else
            Say(QString::fromStdString(error) + QStringLiteral(" (the batch goes on without its file)"));
    }
    if (!m_file) return;
    const rec::RunFields run = RunFieldsOf(m_record);
    const auto rows = m_record.Rows();
    while (m_written < rows.size() && m_file->WriteAnswer(run, rows[m_written])) ++m_written;
    if (!m_record.Running() && !m_summaryWritten && !m_file->Failed()) {
        m_summaryWritten = m_file->WriteSummary(run, m_record, rec::SystemWallClockMs());
        if (m_summaryWritten) m_file.reset();  // closed: the batch is over
    }
    if (m_file && m_file->Failed()) {
        Say(QString::fromStdString(m_file->Error()));
        m_file.reset();
    }
}

}  // namespace fw
