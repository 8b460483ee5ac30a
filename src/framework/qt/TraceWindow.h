// The "Wire trace" window: the trace's newest lines in a fixed-width font,
// with Clear, Pause, Save as, a filter (all, frames only, errors only) and
// line wrapping (on: a long frame's meaning, at its end, stays in sight).
// Non-modal, beside the console.  It reads the trace's line store on a timer
// while it is shown, so tracing itself never waits for the window.  The view
// holds the newest lines only (a text view takes some 800 bytes a line);
// Save as writes every line the store holds up to those shown.
//
// Each line shows its time of day in front ("14:03:27.123 ", local) before
// its time since OPEN.  With the wire trace attached, Start log... appends
// every line from then on to a file until Stop log, and the state shows
// beside the button; a file that cannot be written is said in a box and the
// lines it missed are counted.  A saved or logged file begins with the
// trace's header (date with UTC offset, port and device, console version,
// the image loaded).
#pragma once

#include "trace/TraceSinks.h"

#include <memory>

#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace trace {
class WireTrace;
}

namespace fw {

class TraceWindow final : public QWidget {
    Q_OBJECT
public:
    enum class Filter { All = 0, Frames = 1, Errors = 2 };
    static constexpr int kRefreshMs = 100;
    // Lines the view holds at most (the store holds more).
    static constexpr std::size_t kShownLines = 10000;

    TraceWindow(trace::LineStore& store, QWidget* parent);

    // Shows the lines that came since the last look; nothing while paused.
    // The newest line stays in view unless the view was scrolled away from it.
    void Refresh();
    void SetPaused(bool bPaused);
    bool Paused() const { return m_bPaused; }
    void SetFilter(Filter f);
    Filter CurrentFilter() const { return m_filter; }
    // Drops every line held and shown (a trace file is not touched).
    void Clear();
    // Writes to path (replacing it) the lines the store holds that pass the
    // filter, up to the newest shown.  False, with the reason in *error, when
    // it cannot.
    bool SaveTo(const QString& path, QString* error) const;
    // Save as: asks for a file name (the file dialog, or what a test gives),
    // saves, and says so in a box when it fails.
    void SaveAs();
    void SetSavePathAsker(std::function<QString()> ask) { m_askPath = std::move(ask); }

    // Logging needs the trace itself; console: the program and its version
    // as the header names them.
    void SetWireTrace(trace::WireTrace* wire, const QString& console);
    // Appends every line from now on to path (after the header); false, with
    // the reason in *error, when the file cannot be opened.
    bool StartLog(const QString& path, QString* error);
    void StopLog();
    bool Logging() const { return m_log != nullptr; }
    // Start log... / Stop log: asks for the file (the dialog, or what a test gives).
    void ToggleLog();
    void SetLogPathAsker(std::function<QString()> ask) { m_askLogPath = std::move(ask); }
    // A box says a failure while one can open; tests turn it off.
    void SetFailureBoxes(bool on) { m_boxes = on; }
    // The header the trace gives now ("" without the trace).
    QString Header() const;
    // A line as shown and saved: its time of day (when known), then its text.
    QString Shown(std::uint64_t n) const;
    // The frame tool's button: shown when there is a tool to open.
    void SetFrameToolOpener(std::function<void()> open);

    QPushButton* LogButton() const { return m_logButton; }
    QLabel* LogState() const { return m_logState; }
    QPushButton* FrameToolButton() const { return m_toolButton; }

    QPlainTextEdit* View() const { return m_view; }
    QPushButton* ClearButton() const { return m_clear; }
    QPushButton* PauseButton() const { return m_pause; }
    QPushButton* SaveButton() const { return m_save; }
    QComboBox* FilterBox() const { return m_filterBox; }
    QCheckBox* WrapBox() const { return m_wrap; }

protected:
    void showEvent(QShowEvent* e) override;
    void hideEvent(QHideEvent* e) override;

private:
    bool Passes(std::uint8_t flags) const;
    // Shows lines first .. last-1 that pass the filter, after those shown.
    void AppendLines(std::uint64_t first, std::uint64_t last);
    void Rebuild();
    void UpdateCount();
    void UpdateLogState();
    void LogFailed(const QString& text);

    trace::LineStore& m_store;
    QPlainTextEdit* m_view;
    QPushButton* m_clear;
    QPushButton* m_pause;
    QPushButton* m_save;
    QComboBox* m_filterBox;
    QCheckBox* m_wrap;  // long frames wrapped, so their meaning stays in sight
    QLabel* m_count;
    QTimer* m_timer;
    std::uint64_t m_next = 0;  // number of the first line not looked at yet
    bool m_bPaused = false;
    Filter m_filter = Filter::All;
    std::function<QString()> m_askPath;

    trace::WireTrace* m_wire = nullptr;
    QString m_console;
    std::unique_ptr<trace::FileSink> m_log;
    QString m_logPath;
    QString m_logFailure;  // the first write that failed, as said
    std::function<QString()> m_askLogPath;
    bool m_boxes = true;
    QPushButton* m_logButton;
    QLabel* m_logState;
    QPushButton* m_toolButton;
    std::function<void()> m_openTool;

public:
    ~TraceWindow() override;
};

}  // namespace fw
