#include "framework/qt/BatchRecordFiles.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QStandardPaths>
#include <QTimer>
#include <QWidget>

#include <cstdio>

namespace fw {

BatchRecordFiles::BatchRecordFiles(rec::BatchRecord& record, QString recordsDir, QWidget* boxParent)
    : m_dir(std::move(recordsDir)), m_boxParent(boxParent), m_files(record, m_dir.toStdString()) {
    m_files.SetProblemReporter([this](const std::string& text) { Say(QString::fromStdString(text)); });
    const QString app = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    m_files.SetVersion((app.isEmpty() ? QStringLiteral("zantu-console") : app).toStdString() + " " +
                       QCoreApplication::applicationVersion().toStdString());
    m_timer = new QTimer(this);
    m_timer->setInterval(kRefreshMs);
    connect(m_timer, &QTimer::timeout, this, [this] { WriteNewRows(); });
    m_timer->start();
}

BatchRecordFiles::~BatchRecordFiles() = default;

QString BatchRecordFiles::DefaultRecordsDir() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/zantu/records");
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
