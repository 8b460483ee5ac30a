// Qt 6 Widgets back-end of the framework layer: one fixed-size top-level
// dialog whose controls are siblings in the client area, known by id.
#pragma once

#include "framework/Host.h"
#include "framework/qt/BatchRecordWindow.h"
#include "framework/qt/FrameToolWindow.h"
#include "framework/qt/TraceWindow.h"

#include <QDialog>
#include <QFont>
#include <QLabel>
#include <QObject>
#include <QPointer>

#include <map>

class ExchangeLine;
class QAction;

class QSettings;
class QButtonGroup;
class QStyle;
class QTimer;
class QWidget;

namespace fw {

class QtHost;

// The console's top-level window.  Enter does nothing (no default button);
// Esc and the close box go to the dialog's OnCancel; F1 and the context menu
// give the About item.
class QtDialogWindow final : public QDialog {
    Q_OBJECT
public:
    explicit QtDialogWindow(QtHost& host);

protected:
    void keyPressEvent(QKeyEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    void reject() override;
    void accept() override;

private:
    QtHost& m_host;
};

class QtHost final : public QObject, public Host {
    Q_OBJECT
public:
    QtHost();
    ~QtHost() override;

    QWidget* Widget(int id) const;
    QtDialogWindow* DialogWindow() const { return m_dlg; }
    // Runs the window until EndDialog; returns its result.
    int Exec();
    bool Ended() const { return m_ended; }
    int Result() const { return m_result; }
    bool IsTimerRunning(int id) const;
    // A user's choice of tab nIndex (runs the page switch).
    void SelectTabForTest(int nIndex);

    // ---- Host ------------------------------------------------------------
    void CreateDialog(std::string_view title, int clientW, int clientH,
                      std::span<const ControlTemplate> controls) override;
    void SetTitle(std::string_view title) override;
    std::string GetTitle() const override;
    std::string AppTitle() const override;
    void EndDialog(int nResult) override;
    void SetTimer(int nIdEvent, unsigned nElapseMs) override;
    void KillTimer(int nIdEvent) override;
    void PostMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) override;
    int MessageBox(std::string_view text, std::string_view caption, MsgIcon icon) override;
    int AskYesNo(std::string_view text, std::string_view caption, MsgIcon icon) override;
    std::optional<std::string> OpenFileDialog(std::string_view filter) override;
    std::optional<std::string> PromptText(std::string_view caption, int maxChars, bool password,
                                          const PromptLayout& layout) override;
    void ShowControl(int id, bool bShow) override;
    bool IsControlVisible(int id) const override;
    void EnableControl(int id, bool bEnable) override;
    bool IsControlEnabled(int id) const override;
    void SetControlText(int id, std::string_view text) override;
    std::string GetControlText(int id) const override;
    void SetCheck(int id, int nCheck) override;
    int GetCheck(int id) const override;
    void MoveControl(int id, Rect r) override;
    Rect GetControlRect(int id) const override;
    void SetToolTip(int id, std::string_view text) override;
    void SetProgressRange(int id, int nLow, int nHigh) override;
    void SetProgressPos(int id, int nPos) override;
    int GetProgressPos(int id) const override;
    void ScrollToEnd(int id) override;
    void InsertTab(int id, int nIndex, std::string_view text) override;
    void SetBuddy(int labelId, int fieldId) override;
    int GetCurSel(int id) const override;
    BaseUnits DialogBaseUnits() const override;
    void RaisePriority() override;
    // Whether RaisePriority raises it: on in the console program, off in tests.
    void SetRaisesPriority(bool bOn) { m_raisesPriority = bOn; }

    int PopupMenu(std::span<const MenuItem> items) override;

    // The window's calls into the dialog.
    void Cancel();
    void About();
    // A right click at a child widget: true when the dialog showed its own menu.
    bool ContextMenuAt(QWidget* child);
    // The control id of a widget (or of the control it is part of); 0 if none.
    int IdOf(const QWidget* w) const;

    // The wire trace's lines: with a store, the context menu has "Wire trace"
    // and Ctrl+T opens it.
    void SetWireTraceStore(trace::LineStore* store);
    // Where tool windows' places are kept between runs (none: not kept).
    void SetSettings(QSettings* settings) { m_settings = settings; }
    // Opens the wire trace window, or brings it forward: where the user left
    // it last time, else beside the console covering nothing of it.
    void ShowWireTrace();
    TraceWindow* WireTraceWindow() const { return m_traceWnd; }
    QAction* WireTraceAction() const { return m_traceAction; }
    // The trace itself, for the trace window's log and the files' header
    // (console: the program and version the header names).
    void SetWireTrace(trace::WireTrace* wire, const QString& console);

    // The frame tool: with a link, the context menu has "Frame tool", Ctrl+F
    // and the trace window's button open it.  Set to none before the console
    // the link sends through goes.
    void SetHandFrameLink(HandFrameLink* link);
    void ShowFrameTool();
    FrameToolWindow* FrameToolWnd() const { return m_toolWnd; }
    QAction* FrameToolAction() const { return m_toolAction; }

    // The batch record: with a record, each batch's file is written to
    // recordsDir from the console's start, and its rows to the results file
    // database ("": none); the context menu has "Batch record" and Ctrl+B
    // opens its window.
    void SetBatchRecord(rec::BatchRecord* record, const QString& recordsDir, const QString& database = {});
    // What the Batch record window's STOP does (the console's STOP); none: disabled.
    void SetBatchStopper(std::function<void()> stop);
    // Opens the batch record window beside the console, or brings it forward.
    void ShowBatchRecord();
    BatchRecordWindow* BatchRecordWnd() const { return m_recordWnd; }
    BatchRecordFiles* BatchFiles() const { return m_recordFiles; }
    QAction* BatchRecordAction() const { return m_recordAction; }

    // The exchange line and the last failure's reason, shown in a strip
    // below the dialog's controls; renewed at its events and while it counts
    // down.  Set before CreateDialog.
    void SetExchangeLine(ExchangeLine* line);
    QLabel* ExchangeLabel() const { return m_exchangeLabel; }
    QLabel* ReasonLabel() const { return m_reasonLabel; }
    void RefreshExchange();
    // A control's text less its shortcut mark ("&&" is one '&').
    static QString Caption(const QString& shown);
    // Whether the whole dialog fits its screen (else its controls scroll).
    bool FitsScreen() const { return m_fits; }

protected:
    void WakeUiThread() override;
    // Lets the dialog renew a control's tooltip just before it shows.
    bool eventFilter(QObject* o, QEvent* e) override;

private slots:
    // Runs the cross-thread requests (queued by WakeUiThread).
    void DrainRequests();

private:
    struct Ctl {
        CtlKind kind;
        QWidget* w;
    };
    const Ctl* Find(int id) const;

    QFont m_font;        // the dialog font the dialog units are measured in
    QStyle* m_style = nullptr;    // check boxes' and radios' style (ConsoleStyle)
    QWidget* m_canvas = nullptr;  // the controls' parent, inside the dialog's scroll area
    bool m_fits = true;
    std::map<int, Rect> m_rects;  // each control's rectangle as the dialog gave it
    void FitTextOf(QWidget* w);  // a read-only field's whole text shows
    void OrderTabs();            // the natural keyboard order, after a page is laid out
    void OrderTabsSoon();        // OrderTabs from the event loop, once however often asked
    bool m_tabOrderDue = false;
    void StepTab(int delta);
    void AssignMnemonics();
    ExchangeLine* m_exchange = nullptr;
    QPointer<QLabel> m_exchangeLabel;
    QPointer<QLabel> m_reasonLabel;
    QTimer* m_exchangeTick = nullptr;
    QtDialogWindow* m_dlg = nullptr;
    std::map<int, Ctl> m_ctls;
    std::map<int, QTimer*> m_timers;
    std::map<int, std::string> m_multiText;  // receive text as the console wrote it
    void InstallWireTraceAction();
    trace::LineStore* m_traceStore = nullptr;
    QPointer<QAction> m_traceAction;     // on the dialog: the menu item and Ctrl+T
    QPointer<TraceWindow> m_traceWnd;    // a child of the dialog, made when first opened
    QRect m_tracePlaced;                 // where it was put (frame corner, client size)
    void KeepWireTracePlace();
    trace::WireTrace* m_wire = nullptr;
    QString m_console;
    void InstallFrameToolAction();
    HandFrameLink* m_handLink = nullptr;
    QPointer<QAction> m_toolAction;         // on the dialog: the menu item and Ctrl+F
    QPointer<FrameToolWindow> m_toolWnd;    // a child of the dialog, made when first opened
    QSettings* m_settings = nullptr;
    bool m_raisesPriority = false;
    void InstallBatchRecord();
    rec::BatchRecord* m_record = nullptr;
    std::function<void()> m_batchStop;
    QString m_recordsDir;
    QString m_database;
    QPointer<QAction> m_recordAction;          // on the dialog: the menu item and Ctrl+B
    QPointer<BatchRecordFiles> m_recordFiles;  // a child of the dialog, made with it
    QPointer<BatchRecordWindow> m_recordWnd;   // a child of the dialog, made when first opened
    bool m_ended = false;
    int m_result = 0;
};

}  // namespace fw
