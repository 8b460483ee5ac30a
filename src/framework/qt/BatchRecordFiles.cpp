#include "framework/qt/BatchRecordFiles.h"

#if ZANTU_HAVE_RESULTS
#include "results/BatchResults.h"
#endif

#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QStandardPaths>
#include <QTimer>
#include <QWidget>

#include <cstdio>

namespace fw {

#if !ZANTU_HAVE_RESULTS
namespace db {
class BatchResults {};  // a build without the results database
}
#endif

BatchRecordFiles::BatchRecordFiles(rec::BatchRecord& record, QString recordsDir, QWidget* boxParent,
                                   QString database)
    : m_dir(std::move(recordsDir)), m_boxParent(boxParent), m_files(record, m_dir.toStdString()) {
    m_files.SetProblemReporter([this](const std::string& text) { Say(QString::fromStdString(text)); });
    const QString app = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    const std::string version = (app.isEmpty() ? QStringLiteral("zantu-console") : app).toStdString() + " " +
                                QCoreApplication::applicationVersion().toStdString();
    m_files.SetVersion(version);
#if ZANTU_HAVE_RESULTS
    if (!database.isEmpty()) {
        m_results = std::make_unique<db::BatchResults>(database.toStdString(), version);
        m_results->SetProblemReporter([this](const std::string& text) {
            const QString said = QString::fromStdString(text);
            std::fprintf(stderr, "zantu-console: %s\n", qPrintable(said));
            if (m_dbReport) m_dbReport(said);
        });
        m_files.SetSink(m_results.get());
    }
#else
    (void)database;
#endif
    m_timer = new QTimer(this);
    m_timer->setInterval(kRefreshMs);
    connect(m_timer, &QTimer::timeout, this, [this] { WriteNewRows(); });
    m_timer->start();
}

BatchRecordFiles::~BatchRecordFiles() = default;

QString BatchRecordFiles::DefaultRecordsDir() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/zantu/records");
}

QString BatchRecordFiles::DefaultDatabase() {
#if ZANTU_HAVE_RESULTS
    return QString::fromStdString(db::DefaultPath());
#else
    return {};
#endif
}

QString BatchRecordFiles::DatabaseProblem() const {
#if ZANTU_HAVE_RESULTS
    if (m_results) return QString::fromStdString(m_results->Problem());
#endif
    return {};
}

void BatchRecordFiles::WriteNewRows() { m_files.WriteNewRows(); }

void BatchRecordFiles::Say(const QString& text) {
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

}  // namespace fw
