#include "framework/qt/BatchRecordWindow.h"

#include <QAbstractTableModel>
#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QBuffer>
#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHorizontalBarSeries>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QSplitter>
#include <QSvgGenerator>
#include <QTableView>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

namespace fw {

namespace {

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// Columns of the table: time, answer k/n, 4 requested, 4 dispensed, 4
// rejected, 7 reasons, device error.
constexpr int kColTime = 0, kColAnswer = 1, kColRequested = 2, kColDispensed = 6, kColRejected = 10,
              kColReasons = 14, kColError = 21, kColumns = 22;

double Rate(int rejected, int dispensed) {
    const int picked = rejected + dispensed;
    return picked > 0 ? 100.0 * rejected / picked : 0.0;
}

// The top of a percentage axis that shows rate: the next multiple of 5, at least 5.
double RateTop(double rate) { return std::clamp(std::ceil(rate / 5.0) * 5.0, 5.0, 100.0); }

// A whole step of 1, 2 or 5 times a power of ten that cuts span into at most
// kMaxTicks - 1 parts.
constexpr int kMaxTicks = 7;
int WholeStep(double span) {
    for (int p = 1;; p *= 10)
        for (int m : {1, 2, 5})
            if (span / (m * p) <= kMaxTicks - 1 || p > 100000) return m * p;
}

// An axis of counts or answer numbers: its ticks fall on whole numbers (the
// multiples of a whole step), so every label reads what its tick stands at.
void SetWholeAxis(QValueAxis* axis, double lo, double hi) {
    const int step = WholeStep(hi - lo);
    axis->setRange(lo, hi);
    axis->setTickType(QValueAxis::TicksDynamic);
    axis->setTickAnchor(step == 1 ? lo : 0.0);
    axis->setTickInterval(step);
    axis->setLabelFormat(QStringLiteral("%d"));
    axis->setMinorTickCount(0);
}

}  // namespace

// The record's rows as a table; the window says how many it has taken in.
class BatchRecordModel final : public QAbstractTableModel {
public:
    explicit BatchRecordModel(const rec::BatchRecord& record, QObject* parent)
        : QAbstractTableModel(parent), m_record(record) {}

    int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : m_rows; }
    int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : kColumns; }

    QVariant data(const QModelIndex& index, int role) const override {
        const auto rows = m_record.Rows();
        if (!index.isValid() || index.row() >= static_cast<int>(rows.size())) return {};
        if (role == Qt::TextAlignmentRole)
            return index.column() == kColTime ? QVariant(Qt::AlignLeft | Qt::AlignVCenter)
                                              : QVariant(Qt::AlignRight | Qt::AlignVCenter);
        if (role != Qt::DisplayRole) return {};
        const rec::AnswerRow& r = rows[static_cast<std::size_t>(index.row())];
        const int c = index.column();
        if (c == kColTime) return QDateTime::fromMSecsSinceEpoch(r.timeMs).toString(QStringLiteral("HH:mm:ss.zzz"));
        if (c == kColAnswer) return QStringLiteral("%1 of %2").arg(r.index).arg(r.of);
        if (c < kColDispensed) return r.counts.requested[c - kColRequested];
        if (c < kColRejected) return r.counts.dispensed[c - kColDispensed];
        if (c < kColReasons) return r.counts.rejected[c - kColRejected];
        if (c < kColError) return r.counts.reasons[c - kColReasons];
        return r.error >= 0 ? QStringLiteral("%1").arg(r.error, 2, 16, QLatin1Char('0')).toUpper() : QString();
    }

    QVariant headerData(int section, Qt::Orientation o, int role) const override {
        if (role != Qt::DisplayRole) return {};
        if (o == Qt::Vertical) return section + 1;
        if (section == kColTime) return QStringLiteral("Time");
        if (section == kColAnswer) return QStringLiteral("Answer");
        if (section < kColDispensed) return QStringLiteral("Req %1").arg(section - kColRequested + 1);
        if (section < kColRejected) return QStringLiteral("Disp %1").arg(section - kColDispensed + 1);
        if (section < kColReasons) return QStringLiteral("Rej %1").arg(section - kColRejected + 1);
        if (section < kColError) return Q(rec::kReasonNames[static_cast<std::size_t>(section - kColReasons)]);
        return QStringLiteral("Error");
    }

    void Reset() {
        beginResetModel();
        m_rows = 0;
        endResetModel();
    }
    void Grow(int rows) {
        if (rows <= m_rows) return;
        beginInsertRows(QModelIndex(), m_rows, rows - 1);
        m_rows = rows;
        endInsertRows();
    }

private:
    const rec::BatchRecord& m_record;
    int m_rows = 0;
};

BatchRecordWindow::BatchRecordWindow(rec::BatchRecord& record, BatchRecordFiles& files, QWidget* parent)
    : QWidget(parent, Qt::Window), m_record(record), m_files(files) {
    setWindowTitle(QStringLiteral("Batch record"));
    setObjectName(QStringLiteral("BatchRecord"));

    // The reject rate of each box against the answer number.
    m_rateChart = new QChart;
    m_rateChart->setTitle(QStringLiteral("Reject rate, cumulative"));
    m_rateChart->setAnimationOptions(QChart::NoAnimation);
    m_axisX = new QValueAxis;
    m_axisX->setTitleText(QStringLiteral("answer"));
    SetWholeAxis(m_axisX, 1, 2);
    m_axisY = new QValueAxis;
    m_axisY->setTitleText(QStringLiteral("% of notes picked"));
    SetWholeAxis(m_axisY, 0, RateTop(0));
    m_rateChart->addAxis(m_axisX, Qt::AlignBottom);
    m_rateChart->addAxis(m_axisY, Qt::AlignLeft);
    for (int b = 0; b < rec::kBoxes; ++b) {
        m_rate[b] = new QLineSeries;
        m_rate[b]->setName(QStringLiteral("Box %1").arg(b + 1));
        m_rateChart->addSeries(m_rate[b]);
        m_rate[b]->attachAxis(m_axisX);
        m_rate[b]->attachAxis(m_axisY);
    }
    // Drawn without antialiasing: 2000 points a line redraw in a few ms.
    auto* rateView = new QChartView(m_rateChart);

    // The batch's rejects by reason, as bars across: each reason's name
    // stands on its own line beside its bar, readable however narrow the
    // window (names under upright bars are cut to "..." where it is narrow).
    m_reasonChart = new QChart;
    m_reasonChart->setTitle(QStringLiteral("Rejects by reason"));
    m_reasonChart->setAnimationOptions(QChart::NoAnimation);
    m_reasonChart->legend()->hide();
    m_reasons = new QBarSet(QStringLiteral("rejects"));
    QStringList names;
    for (std::string_view n : rec::kReasonNames) {
        names << Q(n);
        *m_reasons << 0;
    }
    auto* bars = new QHorizontalBarSeries;
    bars->append(m_reasons);
    m_reasonChart->addSeries(bars);
    // Reject first, at the top, in the DISPENSE page's order.
    auto* categories = new QBarCategoryAxis;
    categories->append(names);
    categories->setReverse(true);
    m_reasonAxis = new QValueAxis;
    m_reasonAxis->setTitleText(QStringLiteral("rejects"));
    SetWholeAxis(m_reasonAxis, 0, 5);
    m_reasonChart->addAxis(categories, Qt::AlignLeft);
    m_reasonChart->addAxis(m_reasonAxis, Qt::AlignBottom);
    bars->attachAxis(categories);
    bars->attachAxis(m_reasonAxis);
    auto* reasonView = new QChartView(m_reasonChart);

    m_charts = new QWidget(this);
    m_charts->setAutoFillBackground(true);
    auto* chartBox = new QVBoxLayout(m_charts);
    chartBox->setContentsMargins(0, 0, 0, 0);
    m_caption = new QLabel(m_charts);
    m_caption->setAlignment(Qt::AlignCenter);
    chartBox->addWidget(m_caption);
    auto* chartRow = new QHBoxLayout;
    chartRow->setContentsMargins(0, 0, 0, 0);
    chartRow->addWidget(rateView, 3);
    chartRow->addWidget(reasonView, 2);
    chartBox->addLayout(chartRow, 1);

    m_model = new BatchRecordModel(m_record, this);
    m_table = new QTableView(this);
    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setWordWrap(false);
    // Fixed sizes: a new row costs no measuring of the others.
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 4);
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    const int digit = m_table->fontMetrics().horizontalAdvance(QStringLiteral("0000"));
    for (int c = 0; c < kColumns; ++c) m_table->setColumnWidth(c, digit + 8);
    m_table->setColumnWidth(kColTime, m_table->fontMetrics().horizontalAdvance(QStringLiteral("00:00:00.000")) + 12);
    m_table->setColumnWidth(kColAnswer, m_table->fontMetrics().horizontalAdvance(QStringLiteral("0000 of 0000")) + 12);

    m_title = new QLabel(QStringLiteral("No batch yet"), this);
    m_path = new QLabel(this);
    m_path->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_path->setWordWrap(true);
    m_openFolder = new QPushButton(QStringLiteral("Open folder"), this);
    m_save = new QPushButton(QStringLiteral("Save as..."), this);
    m_saveChart = new QPushButton(QStringLiteral("Save chart..."), this);
    m_stopButton = new QPushButton(QStringLiteral("STOP"), this);
    m_stopButton->setToolTip(QStringLiteral("End the running batch after the exchange under way"));
    m_stopButton->setEnabled(false);
    m_unit = new QLineEdit(this);
    m_unit->setPlaceholderText(QStringLiteral("serial number"));
    m_unit->setToolTip(QStringLiteral("The unit under test: written into the rows and the file name of the "
                                      "batches that begin from now on"));
    m_unit->setText(m_files.Unit());
    auto* unitLabel = new QLabel(QStringLiteral("Unit"), this);
    unitLabel->setBuddy(m_unit);

    auto* bar = new QHBoxLayout;
    bar->addWidget(m_stopButton);
    bar->addWidget(unitLabel);
    bar->addWidget(m_unit);
    bar->addWidget(m_title, 1);
    bar->addWidget(m_openFolder);
    bar->addWidget(m_save);
    bar->addWidget(m_saveChart);
    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(m_charts);
    split->addWidget(m_table);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);
    // The charts get the larger share, also where the window is narrowed to
    // fit beside the console; the table scrolls.
    split->setSizes({360, 240});
    auto* lay = new QVBoxLayout(this);
    lay->addLayout(bar);
    lay->addWidget(m_path);
    lay->addWidget(split, 1);

    connect(m_openFolder, &QPushButton::clicked, this, [this] { OpenFolder(); });
    connect(m_save, &QPushButton::clicked, this, [this] { SaveAs(); });
    connect(m_saveChart, &QPushButton::clicked, this, [this] { SaveChart(); });
    connect(m_stopButton, &QPushButton::clicked, this, [this] {
        if (m_stop && m_record.Running()) m_stop();
        Refresh();
    });
    connect(m_unit, &QLineEdit::textChanged, this, [this](const QString& t) { m_files.SetUnit(t); });

    m_timer = new QTimer(this);
    m_timer->setInterval(kRefreshMs);
    connect(m_timer, &QTimer::timeout, this, [this] { Refresh(); });

    resize(760, 620);
    ShowPath();
}

void BatchRecordWindow::showEvent(QShowEvent* e) {
    Refresh();
    m_timer->start();
    QWidget::showEvent(e);
}

void BatchRecordWindow::hideEvent(QHideEvent* e) {
    m_timer->stop();
    QWidget::hideEvent(e);
}

void BatchRecordWindow::ShowPath() {
    const QString problem = m_files.Problem();
    const QString file = m_files.CurrentFile();
    QString text;
    if (!problem.isEmpty())
        text = problem;
    else if (!file.isEmpty())
        text = QStringLiteral("Record: %1").arg(QDir::toNativeSeparators(file));
    else
        text = QStringLiteral("Records go to %1").arg(QDir::toNativeSeparators(m_files.RecordsDir()));
    if (m_path->text() == text) return;
    m_path->setStyleSheet(problem.isEmpty() ? QString() : QStringLiteral("color: #b00020;"));
    m_path->setText(text);
}

void BatchRecordWindow::Refresh() {
    m_files.WriteNewRows();
    const rec::BatchInfo& info = m_record.Info();
    if (info.number == 0) return;
    if (info.number != m_shownBatch) {
        m_shownBatch = info.number;
        m_taken = 0;
        m_sum = rec::Counts{};
        m_maxRate = 0;
        m_model->Reset();
        for (int b = 0; b < rec::kBoxes; ++b) {
            m_points[b].clear();
            m_points[b].reserve(static_cast<qsizetype>(rec::kMaxRows));
            m_rate[b]->clear();
        }
        for (int k = 0; k < rec::kReasons; ++k) m_reasons->replace(k, 0);
        SetWholeAxis(m_reasonAxis, 0, 5);
        SetWholeAxis(m_axisY, 0, RateTop(0));
        SetWholeAxis(m_axisX, 1, 2);
    }
    if (info.repeat > 1 && m_axisX->max() != info.repeat) SetWholeAxis(m_axisX, 1, info.repeat);

    const auto rows = m_record.Rows();
    if (rows.size() > m_taken) {
        QScrollBar* sb = m_table->verticalScrollBar();
        const bool atEnd = sb->value() >= sb->maximum();
        // The new points of each box go to the series in one replace: the
        // chart lays out its line once per look, not once per point (an
        // append lays it out again for every point it adds).
        for (std::size_t i = m_taken; i < rows.size(); ++i) {
            m_sum.Add(rows[i].counts);
            for (int b = 0; b < rec::kBoxes; ++b) {
                const double r = Rate(m_sum.rejected[b], m_sum.dispensed[b]);
                m_maxRate = std::max(m_maxRate, r);
                m_points[b].append(QPointF(static_cast<double>(i + 1), r));
            }
        }
        for (int b = 0; b < rec::kBoxes; ++b) m_rate[b]->replace(m_points[b]);
        if (RateTop(m_maxRate) != m_axisY->max()) SetWholeAxis(m_axisY, 0, RateTop(m_maxRate));
        int most = 0;
        for (int k = 0; k < rec::kReasons; ++k) {
            if (m_reasons->at(k) != m_sum.reasons[k]) m_reasons->replace(k, m_sum.reasons[k]);
            most = std::max(most, m_sum.reasons[k]);
        }
        if (most > m_reasonAxis->max()) SetWholeAxis(m_reasonAxis, 0, std::ceil(most * 1.25 / 5.0) * 5.0);
        m_taken = rows.size();
        m_model->Grow(static_cast<int>(m_taken));
        if (atEnd) m_table->scrollToBottom();
    }

    const QString what = Q(rec::CommandName(info.type)).toUpper();
    QString title = QStringLiteral("%1: %2 of %3 answers").arg(what).arg(m_record.Answers()).arg(info.repeat);
    title += m_record.Running() ? QStringLiteral(", running")
                                : QStringLiteral(", %1").arg(Q(rec::OutcomeWord(m_record.Result())));
    if (m_title->text() != title) m_title->setText(title);
    m_stopButton->setEnabled(m_stop && m_record.Running());
    const QString unit = QString::fromStdString(m_files.Fields().unit);
    const QString caption =
        QStringLiteral("%1batch %2, %3 %4, %5")
            .arg(unit.isEmpty() ? QString() : QStringLiteral("Unit %1, ").arg(unit))
            .arg(info.number)
            .arg(what, Q(m_record.Arguments()),
                 QDateTime::fromMSecsSinceEpoch(info.startMs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    if (m_caption->text() != caption) m_caption->setText(caption);
    ShowPath();
}

void BatchRecordWindow::SetStopper(std::function<void()> stop) {
    m_stop = std::move(stop);
    m_stopButton->setEnabled(m_stop && m_record.Running());
}

QString BatchRecordWindow::ChartFileName() const {
    const rec::BatchInfo& info = m_record.Info();
    if (info.number == 0) return QStringLiteral("batch.png");
    const QString unit = UnitForFileName(QString::fromStdString(m_files.Fields().unit));
    return QStringLiteral("%1batch%2_%3.png")
        .arg(unit.isEmpty() ? QString() : unit + QStringLiteral("_"))
        .arg(info.number)
        .arg(QDateTime::fromMSecsSinceEpoch(info.startMs).toString(QStringLiteral("yyMMdd_HHmmss")));
}

bool BatchRecordWindow::SaveTo(const QString& path, QString* error) const {
    std::string why;
    auto w = rec::RecordWriter::Open(path.toStdString(), rec::RecordWriter::Mode::Replace, &why);
    // The summary keeps the batch's end, not the time of saving.
    const std::int64_t end = m_record.EndMs() ? m_record.EndMs() : rec::SystemWallClockMs();
    if (w && m_record.Info().number != 0) w->WriteBatch(m_files.Fields(), m_record, end);
    if (w && w->Failed()) why = w->Error();
    if (!w || w->Failed()) {
        if (error) *error = QString::fromStdString(why);
        return false;
    }
    return true;
}

bool BatchRecordWindow::SaveChartTo(const QString& path, QString* error) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (path.endsWith(QStringLiteral(".svg"), Qt::CaseInsensitive)) {
        QSvgGenerator svg;
        svg.setOutputDevice(&buffer);
        svg.setSize(m_charts->size());
        svg.setViewBox(QRect(QPoint(0, 0), m_charts->size()));
        svg.setTitle(m_caption->text().isEmpty() ? windowTitle() : m_caption->text());
        QPainter painter(&svg);
        m_charts->render(&painter);
    } else {
        m_charts->grab().save(&buffer, "PNG");
    }
    QSaveFile f(path);
    if (bytes.isEmpty() || !f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit()) {
        if (error)
            *error = QStringLiteral("Cannot save %1: %2")
                         .arg(path, bytes.isEmpty() ? QStringLiteral("the chart could not be drawn") : f.errorString());
        return false;
    }
    return true;
}

void BatchRecordWindow::SaveAs() {
    const QString suggested = QFileInfo(m_files.CurrentFile()).fileName();
    const QString name = suggested.isEmpty() ? QStringLiteral("batch.csv") : suggested;
    const QString path =
        m_askPath ? m_askPath(name)
                  : QFileDialog::getSaveFileName(this, QStringLiteral("Save batch record"), name,
                                                 QStringLiteral("CSV (*.csv);;JSON lines (*.jsonl);;All files (*)"));
    if (path.isEmpty()) return;
    QString error;
    if (!SaveTo(path, &error)) QMessageBox::warning(this, windowTitle(), error);
}

void BatchRecordWindow::SaveChart() {
    const QString name = ChartFileName();
    const QString path = m_askPath ? m_askPath(name)
                                   : QFileDialog::getSaveFileName(this, QStringLiteral("Save chart"), name,
                                                                  QStringLiteral("PNG (*.png);;SVG (*.svg)"));
    if (path.isEmpty()) return;
    QString error;
    if (!SaveChartTo(path, &error)) QMessageBox::warning(this, windowTitle(), error);
}

void BatchRecordWindow::OpenFolder() {
    const QString dir = m_files.RecordsDir();
    QDir().mkpath(dir);
    const QUrl url = QUrl::fromLocalFile(dir);
    const bool ok = m_openUrl ? m_openUrl(url) : QDesktopServices::openUrl(url);
    if (!ok) QMessageBox::information(this, windowTitle(), QStringLiteral("The records are in %1").arg(dir));
}

}  // namespace fw
