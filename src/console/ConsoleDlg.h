// CConsoleDlg: the console dialog.  It owns all of the console's state: the
// serial channel, the link protocol state, the values bound to its controls,
// the batch counters, the firmware image and the service log file.  Each
// subsystem's handlers live in a file of their own folder:
//   link/LinkProtocol.cpp        closing and sending, receiver, ACK/response timers
//   commands/CommandCatalogue.cpp SendCommand, ReadRequest
//   commands/ResponseDecoder.cpp  DecodeResponse
//   commands/DeviceErrors.cpp     ShowDeviceError
//   console/ConsoleDlg.cpp        construction, start-up, OPEN, dispatch, data exchange
//   console/Ports.cpp             open reasons, lost port and its return, Com tooltips and menu
//   console/PageLayout.cpp        page switch, enable rule, counter refresh
//   console/Batch.cpp             command buttons, batch set-up, OnFrameReady, repeat timer
//   console/Modal.cpp             message boxes, and the sends held while one is open
//   firmware/Download.cpp         Go Loader, Write Prog, blocks, Verify, Reset
//   firmware/HexLoader.cpp        the Intel HEX reader
//   servicelog/ServiceLog.cpp     OnLog and the log file writer
#pragma once

#include "console/ConsoleEvents.h"
#include "console/ControlIds.h"
#include "framework/Host.h"
#include "link/Comm.h"
#include "link/PortDiscovery.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct BatchCounters;  // commands/AnswerFields.h
struct DecodedAnswer;

inline constexpr int kImageSize = 0xA000;  // 40960 bytes
inline constexpr int kBlockSize = 128;
inline constexpr int kBlockCount = kImageSize / kBlockSize;  // 320
inline constexpr std::size_t kTxFrameSize = 272;             // 266-byte frame, its 0, spare
// Posted: a press held until LAST STAT answered (console/BatchGuard.cpp).
inline constexpr unsigned WM_PENDING_PRESS = WM_USER_BASE + 7;

class CConsoleDlg final : public fw::Window {
public:
    explicit CConsoleDlg(fw::Host& host);
    ~CConsoleDlg() override;
    CConsoleDlg(const CConsoleDlg&) = delete;
    CConsoleDlg& operator=(const CConsoleDlg&) = delete;

    // Creates the window from the template and runs the start-up.
    void Create();

    // ---- fw::Window --------------------------------------------------------
    void OnTimer(int nIdEvent) override;
    std::intptr_t OnMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) override;
    void OnCommand(int nId) override;
    // The click's handler, without telling the listeners of the press.
    void Dispatch(int nId);
    void OnTabSelChange() override;
    void OnCancel() override;
    void OnAbout() override;
    bool OnContextMenu(int nId) override;
    void OnToolTip(int nId) override;

    // ---- start-up, OPEN, data exchange (console/ConsoleDlg.cpp) -------------
    int OnInitDialog();
    void OnOpen();
    // TRUE: controls into members; FALSE: members into controls.
    void UpdateData(bool bSaveAndValidate);
    // Bound values by control id (texts and check states).
    std::string& Text(int id);
    int& Check(int id);
    static std::string BuildTitle();

    // ---- events (console/ConsoleEvents.h) -------------------------------------
    // Subscribers are told in the order they subscribed; each must outlive the
    // dialog or unsubscribe first.  False when the list is full.
    static constexpr std::size_t kMaxObservers = 6;
    bool Subscribe(ev::ConsoleObserver* pObserver);
    void Unsubscribe(ev::ConsoleObserver* pObserver);
    bool HasObservers() const { return m_observers[0] != nullptr; }
    // Tells every subscriber, in order: Tell([&](ev::ConsoleObserver& o) { o.Idle(true); }).
    template <class F>
    void Tell(F&& f) {
        for (ev::ConsoleObserver* o : m_observers) {
            if (!o) break;
            f(*o);
        }
    }
    // A press that sends nothing, told with the press under way just before
    // the box that says so (if any).
    void Refuse(ev::Refusal why, std::string_view detail = {}) {
        Tell([&](ev::ConsoleObserver& o) { o.Refused(m_press, why, detail); });
    }
    // Idle: no frame waits for its ACK or answer, no batch and no download
    // runs, and no step a box kept waits for the line to be read.  Told to
    // the listeners when it changes, after each event the dialog handles.
    bool IsIdle() const {
        return !m_bBusy && !m_bDownloading && !m_bAnswerAwaited && !m_bAckAwaited && m_nKept == 0;
    }
    void TellIdleChange() {
        const bool idle = IsIdle();
        if (idle == m_bToldIdle) return;
        m_bToldIdle = idle;
        Tell([&](ev::ConsoleObserver& o) { o.Idle(idle); });
    }
    void Notify(const ev::Notice& notice) {
        Tell([&](ev::ConsoleObserver& o) { o.Noticed(notice); });
    }
    // The position of the frame being decoded in its batch: answer index of
    // `of` for the awaited answer of a batch set up on the DISPENSE page;
    // 0 of 0 for any other frame.
    void BatchPosition(bool bAnswer, int& index, int& of) const {
        const bool inBatch = bAnswer && m_nBatchRuns > 0;
        index = inBatch ? m_nBatchAnswers + 1 : 0;
        of = inBatch ? m_nBatchRuns : 0;
    }

    // ---- frames by hand (console/HandFrame.cpp) --------------------------------
    // A host frame built by hand (the frame tool): body is its code and
    // parameters; the link adds the head, the ETX and the BCC.  It is a press
    // like a command button's: told as one (ids::kHandFrame, the command type
    // of its code), refused while busy, sent, resent and timed out by the
    // link, its answer decoded, and a dispense-type frame counted and recorded
    // as a batch of one (after a dispense-type time-out, LAST STAT goes
    // first and the frame follows its answer).  Refused, in words, for a body
    // that cannot be a frame (commands/Catalogue.h: HandBodyProblem).
    struct HandResult {
        bool sent = false;   // the frame (or the LAST STAT before it) went to the link
        std::string reason;  // why not, or what went first
    };
    HandResult PressHandFrame(std::span<const std::uint8_t> body);
    // The whole frame the link writes for body.
    static std::vector<std::uint8_t> HandFrameBytes(std::span<const std::uint8_t> body);
    void SendHandBody(std::span<const std::uint8_t> body);
    // A batch of one for a frame by hand; a dispense-type one is counted from zero.
    void HandBatchSetup(int nType);
    std::vector<std::uint8_t> m_handFence;  // the hand frame held for LAST STAT's answer

    // ---- message boxes and held sends (console/Modal.cpp) ---------------------
    // Every box, question, file dialog, prompt and menu of the console opens
    // here.  While one is open the line's answers may wait unread (a box
    // opened in the handling of a frame holds the reader in its hand-over),
    // so nothing is sent: the expiries of the timers that send or give up
    // (ACK, response, batch Wait, the download's quiet interval) and the
    // posted next block and held press are kept, not acted on.  When the
    // last box has closed, the channel is asked for a sync point; once every
    // byte that came meanwhile has been handled, what was kept runs in the
    // order it came, each timer only if nothing stopped or restarted it since.
    int MessageBox(std::string_view text, std::string_view caption, fw::MsgIcon icon);
    int AskYesNo(std::string_view text, std::string_view caption, fw::MsgIcon icon);
    std::optional<std::string> OpenFileDialog(std::string_view filter);
    int PopupMenu(std::span<const fw::MenuItem> items);
    // Runs f() as a box of the console (for dialogs of their own, such as the
    // password prompt).
    template <class F>
    auto Modal(F&& f) {
        OpenBox();
        struct Closer {
            CConsoleDlg* d;
            ~Closer() { d->CloseBox(); }
        } closer{this};
        return f();
    }
    bool IsBoxOpen() const { return m_nBoxDepth > 0; }
    // The console's timers: a kept expiry of the timer is forgotten when it
    // is started again or stopped.
    void SetTimer(int nIdEvent, unsigned nElapseMs);
    void KillTimer(int nIdEvent);
    // OnTimer / OnMessage: true when the expiry or message is kept for later.
    bool HoldsExpiry(int nIdEvent);
    bool HoldsMessage(unsigned msg);
    // WM_COMM_SYNC: every byte that came before the sync point was handled.
    std::intptr_t OnCommSync();
    // The channel's reader will not reach a sync point asked for (the port
    // closed or went away): what waits for it runs once the message loop runs.
    void SyncPointLost();

    // ---- ports (console/Ports.cpp) -------------------------------------------
    // After OPEN: the status line's tooltip names the device, or says in plain
    // words why it failed (also on standard error).
    void ReportOpen(int nPort, bool bOk);
    // WM_COMM_LOST: the open device went away.
    std::intptr_t OnCommLost();
    // Timer 11 while a lost port is awaited: opens it again once it is back.
    void OnReconnectTimer();
    // The Com radios' tooltips: path, description, present or not.
    void RefreshComToolTips();
    std::string ComToolTip(int nPort) const;
    // Assigns a device path to COMn (nothing: back to the default).
    void AssignPort(int nPort, const std::optional<std::string>& path);
    // A line for the user on standard error (or m_errorSink).
    void ReportLine(const std::string& text);

    // ---- pages (console/PageLayout.cpp) --------------------------------------
    void HideAll();
    void ShowPage();
    void EnableRule();
    void CounterRefresh();

    // ---- link protocol (link/LinkProtocol.cpp) -------------------------------
    // Closes m_TxFrame (ETX, BCC, trailing 0) and sends it; nType decides
    // whether the response timer starts.
    void CloseAndSend(int nType);
    std::intptr_t OnCommData();
    // The receiver, byte by byte: what OnCommData runs on its copy of the chunk.
    void ReceiveBytes(const std::uint8_t* p, std::size_t n);
    void OnAckTimer();
    void OnResponseTimer();
    // Writes the stored frame again, unchanged (kind: a resend or a repeat send).
    void ResendStored(ev::TxKind kind);
    // Every write to the line goes here; kind says what it is, for the trace.
    void WriteBytes(const std::uint8_t* p, std::uint32_t n, ev::TxKind kind);
    // A link event for the wire trace, if one is attached: OPEN, close, the
    // two time-outs, and a port lost and back (console/Ports.cpp).
    void TraceLink(ev::LinkEvent e, int nPort, std::string_view detail = {});
    // Both time-outs end here: busy and the repeat counts cleared, the status
    // line set to szStatus.
    void OnLinkGaveUp(const char* szStatus);
    // A send waits for the module's ACK: a frame under way is dropped first.
    void AwaitAck();
    void DropFrameUnderWay();

    // ---- command catalogue, decoder, errors (commands/) -----------------------
    void SendCommand(int nType);
    std::int8_t ReadRequest(int nBox);
    // bAnswer: the frame is the awaited answer to the command sent.  Any other
    // frame is decoded and shown but changes no counter, batch or download.
    void DecodeResponse(bool bAnswer = true);
    // The batch counters as they stand, for DecodeAnswer (commands/AnswerFields.h).
    BatchCounters Counters() const;
    // Tells the subscribers the answer decoded into d (nError: its device
    // error code, -1 none); writes the bound members of the fields d shows.
    void TellAnswered(const DecodedAnswer& d, bool bAnswer, int nError);
    void WriteFields(const DecodedAnswer& d);
    void ShowDeviceError(std::uint8_t nCode);
    // Appends to the receive text; over a long run the oldest whole lines go,
    // so the text (copied to its control at every answer) stays bounded.
    void AppendRecv(std::string_view text);
    // A notice of the console's own: a line of its own in the receive text,
    // also after a caption that ends without a line break.
    void AppendRecvLine(std::string_view line);
    // A line from the window's back-end (a problem of the batch record's
    // database): in the receive text at once, the other controls left as
    // they are.
    void ShowRecvLine(std::string_view line);
    // Starts or stops one of the waits the subscribers hear of (the ACK, the
    // answer, a batch's next send) on its timer; other timers go to the host.
    void StartWait(int nTimer, unsigned nMs);
    void StopWait(int nTimer);
    static constexpr std::size_t kRecvKeep = 32000;

    // ---- batches (console/Batch.cpp) --------------------------------------
    // A press that sends does nothing while a command is outstanding or a
    // firmware download runs (between two blocks the busy flag is clear).
    bool IsBusy() const { return m_bBusy || m_bDownloading; }
    void OnCommandButton(int nId);   // 1001..1018
    void BatchSetup(int nType);
    // A batch of nRuns sends nWaitSec apart, counted from zero.
    void StartCountedBatch(int nRuns, int nWaitSec);
    void SendBookkeeping();
    std::intptr_t OnFrameReady();
    // The frame just accepted (m_strRxFrame) is the answer the command sent
    // waits for: its code is the command's and the command still waits.
    bool IsAwaitedAnswer() const;
    void OnRepeatTimer();
    // Ends the batch or the download after the exchange under way: no repeat
    // send and no further block follow it (STOP, zantu-cli's Ctrl+C); in a
    // batch's Wait, where nothing is under way, the batch ends at once.  The
    // port stays open.  Holds until the next press that sends; told as
    // NoticeKind::BatchStopped when a batch or download ran.
    void StopBatch();
    // A batch or a download runs that STOP would end.
    bool BatchStoppable() const { return (m_bBusy || m_bDownloading) && !m_bStopBatch; }
    // Ends the console without asking (a stopping signal): as EXIT.
    void EndNow();
    // The module's ACK of the current frame arrived (after the ACK timer stopped).
    void OnAckReceived();

    // ---- late and duplicated answers in batches (console/BatchGuard.cpp) ---
    // A late answer cannot be told from the answer to the next send of the
    // same code, so evidence of one ends the batch and says its counts may be
    // off; after a time-out on a dispense-type command the next dispense-type
    // press first asks LAST STAT, whose answer comes after any answer still
    // due (the module answers in order).
    // The start of BatchSetup: which code the batch counts; false for LAST
    // STAT asked first, which is a send of its own (no batch, no zeroing).
    // bDispensePage: pressed as from the DISPENSE page (its counts).
    bool BeginBatchWatch(int nType, bool bDispensePage);
    // A press of a command button: true when the guard took it (LAST STAT first).
    bool PressNeedsFence(int nType);
    // Both time-outs, before the batch state is cleared.
    void BatchGaveUp();
    // An accepted frame that answers no send (code: its response code).
    void OnUnaskedAnswer(int code);
    // The awaited answer just counted: true when the batch ends here whatever
    // its repeats left.
    bool BatchStopsHere();
    // WM_PENDING_PRESS: the dispense-type press held for LAST STAT's answer.
    std::intptr_t OnPendingPress();
    // Tells (once per batch) that the last batch's counts may be off by one.
    void TellBatchUncertain(bool bStopped);

    // ---- firmware (firmware/) --------------------------------------------
    void OnGoLoader();
    void OnWriteProg();
    void OnVerify();
    void OnReset();
    std::intptr_t OnNextBlock();
    void OnProgressTimer();
    // Decoder seams for the loader's answers.
    void OnLoaderAnswer();       // 'r'
    void OnBlockWritten(bool bAnswer);  // 's'
    void OnVerifyAnswer(bool bAnswer);  // 't'
    std::uint16_t ImageSum() const;
    // A time-out of the link ended the current command (download bookkeeping).
    void DownloadGaveUp();

    // ---- the download's answer guard (firmware/DownloadGuard.cpp) ------------
    // The protocol has no sequence numbers: an 's' answer to a copy sent
    // earlier (a resend whose first copy arrived, an answer overdue after a
    // time-out, a module that answered twice) looks like the answer to the
    // block sent last.  After such an anomaly the next block (and "Downloading
    // Done!") waits until no 's' answer has come for kQuietMs.
    static constexpr unsigned kQuietMs = 2000;
    void BeginDownloadWatch();
    // Something on the line makes it uncertain which block the next 's'
    // answers; why: in plain words, for the receive text.
    void NoteBlockDoubt(const char* why);
    // The stored block was sent again after a missing ACK (link/LinkProtocol.cpp).
    void OnBlockResent();
    // A byte the receiver drops (no frame begun, or not the awaited ACK): a
    // second ACK, or a whole 's' frame the console never takes as an answer.
    void WatchStrayByte(std::uint8_t b, bool bAwaitingAck);
    // The awaited answer to the block sent last came without error: the next
    // block, or the end, now or after the quiet interval.
    void BlockConfirmed();
    // An 's' frame that answers no block (bError: it carries device error nCode).
    void OnStrayBlockAnswer(bool bError, std::uint8_t nCode);
    void OnQuietTimer();
    // The last block was confirmed and the line is settled.
    void FinishDownload();
    // Stops a running download for a device error carried by any 's' frame.
    void StopDownloadForError(std::uint8_t nCode);
    // An 's' frame after "Downloading Done!" (bError: with device error nCode).
    void OnBlockAnswerAfterDone(bool bError, std::uint8_t nCode);
    // The block's answer came before its ACK: nothing more is awaited of it.
    void EndBlockExchange();

    // ---- service log (servicelog/) -----------------------------------------
    void OnLog();
    void WriteLogFrame(const std::uint8_t* pFrame, std::size_t nLen);  // '~'

    // ---- members, in declaration order --------------------------------------
    fw::Host& m_host;
    int m_nImageAddr = 0;
    std::array<std::uint8_t, kImageSize> m_Image{};
    int m_bDownloading = 0;
    int m_nBlocksDone = 0;
    int m_nAckRetries = 0;
    CComm m_Comm;
    CByteWriter* m_pWriter = &m_Comm;  // where frames go; tests may capture
    std::string m_strRecv;             // 1033, the newest kRecvKeep characters at most
    std::string m_strStatus;           // 1034
    std::array<std::string, ids::kCount> m_strText{};  // other bound edits, by id - 1000
    std::array<int, ids::kCount> m_nCheck{};           // bound checks, by id - 1000
    std::FILE* m_hLogFile = nullptr;
    int m_bLogUnlocked = 0;
    int m_nCmdCode = 0;
    int m_nTab = 0;
    int m_nTotalRequested = 0, m_nTotalDispensed = 0, m_nTotalRejected = 0;
    int m_nDispSum[4] = {}, m_nRejSum[4] = {}, m_nRequest[4] = {}, m_nDispensed[4] = {},
        m_nRejected[4] = {};
    int m_nReasonSum[7] = {};
    int m_nRepeatLeft = 0;
    int m_nRepeat = 0;
    int m_nWaitSec = 2;
    std::uint8_t m_bLinked = 0;
    std::uint8_t m_bBusy = 0;
    std::uint8_t m_TxFrame[kTxFrameSize] = {};
    int m_nTxLen = 0;
    int m_nRxState = 0;
    int m_nRxCount = 0;
    std::string m_strRxFrame;  // bytes of the frame being received

    // The command sent waits for its answer (only that answer stops the
    // response timer and counts in the batch logic)
    bool m_bAnswerAwaited = false;
    int m_nFramesAccepted = 0;  // response frames accepted by the receiver
    int m_nLastType = 0;       // command type of the last frame built
    std::string m_strLogPath;  // path of the service log file, once created
    bool m_bLogWriteFailed = false;
    // The stored frame as the catalogue describes it, for the listeners.
    ev::FrameNote m_TxNote;
    // A frame written waits for the module's ACK (set by every send and
    // resend, cleared by the ACK and when the console gives up on it).
    bool m_bAckAwaited = false;
    // Go Loader's or Reset's answer code while its first answer may still
    // come (it answers the frame sent, though no batch waits for it); 0: none.
    int m_nReplyCode = 0;
    // The press being handled (id 0: none), and the idleness last told.
    ev::Press m_press;
    bool m_bToldIdle = true;
    // Ports: where they are looked for, those found at the last look, the
    // port whose return is awaited (0: none), who keeps assignments, and
    // where lines for the user go (empty: standard error).
    DeviceRoots m_devRoots;
    std::vector<SerialPortInfo> m_ports;
    int m_nLostPort = 0;
    std::function<void(int nPort, const std::optional<std::string>& path)> m_onPortAssigned;
    std::function<void(const std::string&)> m_errorSink;
    // The batch as set up (runs planned; 0: not a batch) and its awaited
    // answers so far, for the position told with each answer.
    int m_nBatchRuns = 0;
    int m_nBatchAnswers = 0;
    bool m_bStopBatch = false;  // StopBatch: nothing more is sent on the console's own
    // Who hears the console's events (console/ConsoleEvents.h); empty slots are null.
    std::array<ev::ConsoleObserver*, kMaxObservers> m_observers{};
    // The download's answer guard: an 's' answer to an earlier copy may still
    // come; the next step waits for the quiet timer; the first anomaly of the
    // running download (Verify runs by itself at its end when there was one);
    // that Verify is due; a frame the receiver drops, as far as it came.
    bool m_bBlockDoubt = false;
    bool m_bHeldForQuiet = false;
    std::string m_strAnomaly;
    bool m_bAutoVerifyDue = false;
    // The module's loader answered Go Loader since the last OPEN or Reset.
    bool m_bLoaderStarted = false;
    void ClearProgress();
    std::string m_strStray;
    bool m_bStrayInFrame = false;
    // After "Downloading Done!" (until the next Write Prog): it stands (a block
    // answer with a device error that comes later withdraws it); Verify may
    // still run by itself for that download (no press, no Verify since: one
    // Verify a download).
    bool m_bDoneStands = false;
    bool m_bVerifyMayFollow = false;
    // Batches: the code whose answers count in the batch set up last (0:
    // none); its counts were said to be uncertain; it ends at the awaited
    // answer under way; a dispense-type command got no answer in time; the
    // dispense-type press held for LAST STAT's answer; the window was closed.
    int m_nBatchCode = 0;
    bool m_bBatchUncertain = false;
    bool m_bBatchStopAsked = false;
    bool m_bDispenseTimedOut = false;
    int m_nFenceFor = 0;
    std::string m_strFenceRepeat, m_strFenceWait;  // the held press's Repeat and Wait as typed
    bool m_bClosing = false;
    // Boxes open now (nested); what their opening kept, in the order it came
    // (timer ids, or messages); a sync point is asked for and not reached yet.
    struct Kept {
        bool timer;
        int id;  // timer id, or message
    };
    static constexpr std::size_t kMaxKept = 8;
    int m_nBoxDepth = 0;
    std::array<Kept, kMaxKept> m_kept{};
    std::size_t m_nKept = 0;
    bool m_bSyncPending = false;

private:
    void OpenBox();
    void CloseBox();
    void Keep(bool timer, int id);
    bool Forget(bool timer, int id);
    void ReleaseKept();
};
