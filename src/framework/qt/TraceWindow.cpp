#include "framework/qt/TraceWindow.h"
#include "framework/qt/FixedFont.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
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
    auto* lay = new QVBoxLayout(this);
    lay->addLayout(bar);
    lay->addWidget(m_view, 1);

    connect(m_clear, &QPushButton::clicked, this, [this] { Clear(); });
    connect(m_pause, &QPushButton::toggled, this, [this](bool on) { SetPaused(on); });
    connect(m_save, &QPushButton::clicked, this, [this] { SaveAs(); });
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
}

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
        const std::string_view s = m_store.Text(n);
        if (lines++ > 0) text += QLatin1Char('\n');
        text += QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
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
    QByteArray bytes;
    for (std::uint64_t n = m_store.Begin(); n < m_next; ++n) {
        if (!Passes(m_store.Flags(n))) continue;
        const std::string_view s = m_store.Text(n);
        bytes.append(s.data(), static_cast<qsizetype>(s.size()));
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

}  // namespace fw
