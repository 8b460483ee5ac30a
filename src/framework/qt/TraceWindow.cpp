#include "framework/qt/TraceWindow.h"
#include "framework/qt/FixedFont.h"
#include "trace/WireTrace.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace fw {

TraceWindow::TraceWindow(trace::LineStore& store, QWidget* parent)
    : QWidget(parent, Qt::Window), m_store(store) {
    setWindowTitle(QStringLiteral("Wire trace"));
    setObjectName(QStringLiteral("WireTrace"));

    m_view = new QPlainTextEdit(this);
    m_view->setReadOnly(true);
    m_view->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_view->setFont(FixedWidthFont());
    m_view->setMaximumBlockCount(static_cast<int>(std::min<std::size_t>(m_store.Capacity(), kShownLines)));
    m_view->setUndoRedoEnabled(false);

    m_clear = new QPushButton(QStringLiteral("Clear"), this);
    m_pause = new QPushButton(QStringLiteral("Pause"), this);
    m_pause->setCheckable(true);
    m_save = new QPushButton(QStringLiteral("Save as..."), this);
    m_filterBox = new QComboBox(this);
    m_filterBox->addItem(QStringLiteral("All"));
    m_filterBox->addItem(QStringLiteral("Frames only"));
    m_filterBox->addItem(QStringLiteral("Errors only"));
    m_wrap = new QCheckBox(QStringLiteral("Wrap"), this);
    m_wrap->setChecked(true);
    m_count = new QLabel(this);
    m_logButton = new QPushButton(QStringLiteral("Start log..."), this);
    m_logButton->setEnabled(false);
    m_logButton->setToolTip(QStringLiteral("Append every trace line from now on to a file"));
    m_logState = new QLabel(this);
    m_logState->setObjectName(QStringLiteral("logState"));
    m_logState->setTextFormat(Qt::PlainText);
    m_toolButton = new QPushButton(QStringLiteral("Frame tool..."), this);
    m_toolButton->setVisible(false);

    auto* bar = new QHBoxLayout;
    bar->addWidget(m_clear);
    bar->addWidget(m_pause);
    bar->addWidget(m_save);
    bar->addSpacing(12);
    bar->addWidget(new QLabel(QStringLiteral("Show:"), this));
    bar->addWidget(m_filterBox);
    bar->addWidget(m_wrap);
    bar->addStretch(1);
    bar->addWidget(m_count);
    auto* logBar = new QHBoxLayout;
    logBar->addWidget(m_logButton);
    logBar->addWidget(m_logState, 1);
    logBar->addWidget(m_toolButton);
    auto* lay = new QVBoxLayout(this);
    lay->addLayout(bar);
    lay->addLayout(logBar);
    lay->addWidget(m_view, 1);

    connect(m_clear, &QPushButton::clicked, this, [this] { Clear(); });
    connect(m_pause, &QPushButton::toggled, this, [this](bool on) { SetPaused(on); });
    connect(m_save, &QPushButton::clicked, this, [this] { SaveAs(); });
    connect(m_logButton, &QPushButton::clicked, this, [this] { ToggleLog(); });
    connect(m_toolButton, &QPushButton::clicked, this, [this] {
        if (m_openTool) m_openTool();
    });
    connect(m_wrap, &QCheckBox::toggled, this, [this](bool on) {
        m_view->setLineWrapMode(on ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
    });
    connect(m_filterBox, &QComboBox::currentIndexChanged, this,
            [this](int i) { SetFilter(static_cast<Filter>(std::clamp(i, 0, 2))); });

    m_timer = new QTimer(this);
    m_timer->setInterval(kRefreshMs);
    connect(m_timer, &QTimer::timeout, this, [this] { Refresh(); });

    resize(760, 480);
    m_next = m_store.Begin();
    UpdateCount();
    UpdateLogState();
}

TraceWindow::~TraceWindow() { StopLog(); }

void TraceWindow::showEvent(QShowEvent* e) {
    Refresh();
    m_timer->start();
    QWidget::showEvent(e);
}

void TraceWindow::hideEvent(QHideEvent* e) {
    m_timer->stop();
    QWidget::hideEvent(e);
}

bool TraceWindow::Passes(std::uint8_t flags) const {
    switch (m_filter) {
    case Filter::All: return true;
    case Filter::Frames: return (flags & trace::kFrameLine) != 0;
    case Filter::Errors: return (flags & trace::kErrorLine) != 0;
    }
    return true;
}

void TraceWindow::AppendLines(std::uint64_t first, std::uint64_t last) {
    first = std::max(first, m_store.Begin());
    // Only as many as the view keeps.
    const int keep = m_view->maximumBlockCount();
    std::uint64_t from = last;
    for (int passing = 0; from > first && passing < keep;)
        if (Passes(m_store.Flags(--from))) ++passing;
    first = from;
    QString text;
    int lines = 0;
    for (std::uint64_t n = first; n < last; ++n) {
        if (!Passes(m_store.Flags(n))) continue;
        if (lines++ > 0) text += QLatin1Char('\n');
        text += Shown(n);
    }
    if (lines == 0) return;
    QScrollBar* bar = m_view->verticalScrollBar();
    const int top = bar->value();  // the view's first line, counting wrapped lines
    const bool atEnd = top >= bar->maximum();
    // A full view drops its oldest lines as these come; a view scrolled up
    // moves back by the lines dropped above it, so it stays on its line.
    int dropped = 0;
    if (!atEnd) {
        const QTextDocument* doc = m_view->document();
        const int held = doc->isEmpty() ? 0 : doc->blockCount();
        const int over = held + lines - doc->maximumBlockCount();
        for (QTextBlock b = doc->begin(); b.isValid() && b.blockNumber() < over; b = b.next())
            dropped += std::max(b.lineCount(), 1);
    }
    m_view->appendPlainText(text);
    bar->setValue(atEnd ? bar->maximum() : std::max(top - dropped, 0));
}

void TraceWindow::Refresh() {
    if (!m_bPaused) {
        const std::uint64_t end = m_store.End();
        if (m_next < end) AppendLines(m_next, end);
        m_next = end;
    }
    UpdateCount();
    if (m_log && !m_logFailure.isEmpty()) UpdateLogState();  // the lines missed so far
}

void TraceWindow::Rebuild() {
    m_view->clear();
    // Paused: what was shown at the pause, under the new filter.
    AppendLines(m_store.Begin(), m_bPaused ? m_next : m_store.End());
    if (!m_bPaused) m_next = m_store.End();
    m_view->verticalScrollBar()->setValue(m_view->verticalScrollBar()->maximum());
    UpdateCount();
}

void TraceWindow::SetPaused(bool bPaused) {
    if (m_pause->isChecked() != bPaused) m_pause->setChecked(bPaused);  // comes back here
    if (m_bPaused == bPaused) return;
    m_bPaused = bPaused;
    Refresh();
    UpdateCount();
}

void TraceWindow::SetFilter(Filter f) {
    if (m_filterBox->currentIndex() != static_cast<int>(f)) m_filterBox->setCurrentIndex(static_cast<int>(f));
    if (m_filter == f) return;
    m_filter = f;
    Rebuild();
}

void TraceWindow::Clear() {
    m_store.Clear();
    m_next = m_store.End();
    m_view->clear();
    UpdateCount();
}

void TraceWindow::UpdateCount() {
    const std::size_t n = m_store.Size();
    QString s = (n == 1 ? QStringLiteral("%1 line") : QStringLiteral("%1 lines")).arg(n);
    if (m_bPaused) s += QStringLiteral(", paused");
    if (m_count->text() != s) m_count->setText(s);
}

bool TraceWindow::SaveTo(const QString& path, QString* error) const {
    QSaveFile f(path);
    QByteArray bytes = Header().toUtf8();
    for (std::uint64_t n = m_store.Begin(); n < m_next; ++n) {
        if (!Passes(m_store.Flags(n))) continue;
        bytes.append(Shown(n).toUtf8());
        bytes.append('\n');
    }
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit()) {
        if (error) *error = QStringLiteral("Cannot save %1: %2").arg(path, f.errorString());
        return false;
    }
    return true;
}

void TraceWindow::SaveAs() {
    const QString path = m_askPath ? m_askPath()
                                   : QFileDialog::getSaveFileName(this, QStringLiteral("Save wire trace"),
                                                                  QStringLiteral("wire-trace.txt"),
                                                                  QStringLiteral("Text files (*.txt);;All files (*)"));
    if (path.isEmpty()) return;
    QString error;
    if (!SaveTo(path, &error)) QMessageBox::warning(this, windowTitle(), error);
}

QString TraceWindow::Shown(std::uint64_t n) const {
    const std::string_view s = m_store.Text(n);
    const QString text = QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
    const std::int64_t wall = m_store.WallMs(n);
    if (wall <= 0) return text;
    return QDateTime::fromMSecsSinceEpoch(wall).toString(QStringLiteral("HH:mm:ss.zzz ")) + text;
}

QString TraceWindow::Header() const {
    if (!m_wire) return {};
    return QString::fromStdString(m_wire->HeaderNow(m_console.toStdString()));
}

void TraceWindow::SetWireTrace(trace::WireTrace* wire, const QString& console) {
    if (m_wire != wire) StopLog();
    m_wire = wire;
    m_console = console;
    m_logButton->setEnabled(m_wire != nullptr);
    UpdateLogState();
}

void TraceWindow::SetFrameToolOpener(std::function<void()> open) {
    m_openTool = std::move(open);
    m_toolButton->setVisible(static_cast<bool>(m_openTool));
}

bool TraceWindow::StartLog(const QString& path, QString* error) {
    if (!m_wire) {
        if (error) *error = QStringLiteral("No wire trace to log.");
        return false;
    }
    StopLog();
    std::string why;
    auto sink = trace::FileSink::Open(path.toStdString(), &why, Header().toStdString());
    if (!sink) {
        if (error) *error = QString::fromStdString(why);
        return false;
    }
    // Said from the event loop: the report comes inside a console event.
    QPointer<TraceWindow> self(this);
    sink->SetFailureReport([self](const std::string& text) {
        const QString t = QString::fromStdString(text);
        QMetaObject::invokeMethod(
            self.data(), [self, t] { if (self) self->LogFailed(t); }, Qt::QueuedConnection);
    });
    if (!m_wire->AddSink(sink.get())) {
        if (error) *error = QStringLiteral("The wire trace takes no more files.");
        return false;
    }
    m_log = std::move(sink);
    m_logPath = path;
    m_logFailure.clear();
    UpdateLogState();
    return true;
}

void TraceWindow::StopLog() {
    if (!m_log) return;
    if (m_wire) m_wire->RemoveSink(m_log.get());
    const std::uint64_t lost = m_log->LinesLost();
    m_log.reset();
    QString s = QStringLiteral("Log stopped: %1").arg(m_logPath);
    if (lost > 0) s += QStringLiteral(" (%1 lines could not be written)").arg(lost);
    m_logState->setText(s);
    m_logButton->setText(QStringLiteral("Start log..."));
}

void TraceWindow::ToggleLog() {
    if (m_log) {
        StopLog();
        return;
    }
    const QString path = m_askLogPath ? m_askLogPath()
                                      : QFileDialog::getSaveFileName(this, QStringLiteral("Log wire trace to"),
                                                                     QStringLiteral("wire-trace.log"),
                                                                     QStringLiteral("Text files (*.log *.txt);;All files (*)"),
                                                                     nullptr, QFileDialog::DontConfirmOverwrite);
    if (path.isEmpty()) return;
    QString error;
    if (!StartLog(path, &error)) {
        m_logState->setText(QStringLiteral("Not logging: %1").arg(error));
        if (m_boxes) QMessageBox::warning(this, windowTitle(), error);
    }
}

void TraceWindow::LogFailed(const QString& text) {
    m_logFailure = text;
    UpdateLogState();
    if (m_boxes) QMessageBox::warning(this, windowTitle(), text);
}

void TraceWindow::UpdateLogState() {
    if (!m_log) {
        if (m_logState->text().isEmpty()) m_logState->setText(QStringLiteral("Not logging"));
        m_logButton->setText(QStringLiteral("Start log..."));
        return;
    }
    m_logButton->setText(QStringLiteral("Stop log"));
    QString s = QStringLiteral("Logging to %1").arg(m_logPath);
    if (!m_logFailure.isEmpty())
        s += QStringLiteral(" - WRITE FAILED, %1 lines missing: %2").arg(m_log->LinesLost()).arg(m_logFailure);
    m_logState->setText(s);
}

}  // namespace fw
