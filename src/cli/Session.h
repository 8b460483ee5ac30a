// One run of zantu-cli: the console core on a headless host driven in real
// time, with the real serial channel.  The session works the window as an
// operator does: it selects the command's page, types the arguments into the
// bound fields, clicks the same button and waits until the console is idle
// again, then reads the results from the same members.  Every frame, resend,
// time-out and decoding rule is therefore the window's.
//
// The session also stands between the host and the console as the host's
// window: every event passes through it to the console, so it sees each
// answer as it is decoded, each time-out as it fires, and can hold back the
// next send of a batch (or the next block of a download) once Ctrl+C asked it
// to stop.  Message boxes go to standard error and are answered OK at once.
#pragma once

#include "cli/CliArgs.h"
#include "cli/Report.h"
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"
#include "framework/RealTimeDriver.h"
#include "link/PortDiscovery.h"
#include "link/PortMap.h"
#include "records/BatchRecord.h"
#include "records/RecordWriter.h"
#include "trace/TraceSinks.h"
#include "trace/WireTrace.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace cli {

// Exit statuses: these four are the tool's own, the rest come from sysexits.h.
inline constexpr int kExitOk = 0;
inline constexpr int kExitDeviceError = 1;
inline constexpr int kExitLinkFailed = 2;
inline constexpr int kExitPortFailed = 3;

// The word for an exit status in the JSON summary ("ok", "device_error", ...).
const char* ResultWord(int exitCode);

struct SessionConfig {
    Options options;
    PortMap map;           // the console's port map
    int com = 1;           // the Com radio pressed before OPEN
    std::string portName;  // what messages call the port
    std::string password;  // for log
    // 0: run; 1: end after the current exchange (Ctrl+C); 2 or more: end at once.
    const std::atomic<int>* stop = nullptr;
    std::function<int()> stopExit;  // exit status once stopped (128 + the signal)
    bool progress = false;  // a progress bar on err (a terminal)
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    std::function<void()> onOpened;  // runs once the port is open

    // ---- several ports at once and a bounded run (set by the runner) ----
    // Not empty: the port's name, put before each human line and as "port"
    // into each JSON record, and a summary line of its own.  Lines go out
    // with one stdio call each, so the sessions' lines never mix.
    std::string label;
    // Set once --timeout passed (the stop request then is 2): the run ends
    // with kExitLinkFailed and "timed out after timeoutSec s".
    const std::atomic<bool>* timedOut = nullptr;
    int timeoutSec = 0;
    // --record: the batch's rows and summary go to this writer (shared by the
    // ports of a run, taken under recordLock) at the end of the run.
    rec::RecordWriter* record = nullptr;
    std::mutex* recordLock = nullptr;
};

class Session final : public fw::Window {
public:
    explicit Session(SessionConfig cfg);
    ~Session() override;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Opens the port, runs the command, prints its answers and the summary;
    // returns the exit status.
    int Run();
    // The result word of the finished run ("ok", "timed_out", ...).
    const std::string& Result() const { return m_result; }

    // ---- fw::Window: everything goes on to the console ------------------
    void OnTimer(int nIdEvent) override;
    std::intptr_t OnMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) override;
    void OnCommand(int nId) override { m_dlg.OnCommand(nId); }
    void OnTabSelChange() override { m_dlg.OnTabSelChange(); }
    void OnCancel() override { m_dlg.OnCancel(); }
    void OnAbout() override { m_dlg.OnAbout(); }

private:
    using Clock = std::chrono::steady_clock;
    struct PendingError {
        int code = 0;
        std::string text;
    };

    int OnBox(const fw::MessageBoxRecord& box);
    bool Open();
    void RunButton();
    void RunLog();
    void RunDownload();
    // Waits (bounded) until the bytes written have left the line.
    void DrainLine();
    bool PressOnPage(int page, int id);
    // Drives the console until done() holds, the link failed or a stop
    // request ends the wait; returns done().
    bool Drive(const std::function<bool()>& done);
    bool StopAsked() const { return m_cfg.stop && m_cfg.stop->load() >= 1; }
    bool StopNow() const { return m_cfg.stop && m_cfg.stop->load() >= 2; }
    // No exchange is under way: no ACK and no answer is awaited.
    bool ExchangeIdle() const;
    void OnAnswer();
    void Emit(const Record& r);
    void Note(const std::string& text);  // a line on err
    void Fail(int exitCode, const std::string& why);
    void DrawProgress(bool force);
    void ClearProgress();
    int Finish();
    // Appends the batch's record to the --record file; false when it could not.
    bool WriteRecord(int exitCode);

    SessionConfig m_cfg;
    const CommandInfo& m_info;
    // The wire trace (--trace): declared before the console, so that it
    // outlives it, and its file before the trace.
    std::unique_ptr<trace::FileSink> m_traceFile;
    std::unique_ptr<trace::WireTrace> m_trace;
    std::unique_ptr<rec::BatchRecord> m_batchRecord;  // --record: hears the console, so outlives it
    fw::HeadlessHost m_host;
    CConsoleDlg m_dlg{m_host};
    fw::RealTimeDriver m_driver{m_host};

    std::string m_step;        // the download's step, for its records
    int m_answers = 0;         // awaited answers decoded
    int m_batchOf = 0;         // sends of the batch, for "k of n"
    int m_deviceErrors = 0;    // device errors reported (boxes)
    PendingError m_pending;    // the device error of the answer being decoded
    bool m_linkFailed = false;
    std::string m_linkWhy;
    int m_failExit = 0;        // a failure of its own (port, usage, file) and its message
    std::string m_failWhy;
    bool m_loaderAnswered = false, m_downloadDone = false, m_verifyOk = false;
    bool m_resetAcked = false, m_paramRefused = false;
    int m_framesSeen = 0;
    Clock::time_point m_lastFrameAt{};
    // progress bar
    bool m_barShown = false;
    Clock::time_point m_barAt{};
    std::string m_barText;
    std::string m_result;  // the result word, once finished
};

// list-ports: the serial ports found under roots, with the COM number each
// stands for (COMn is /dev/ttyS(n-1)).
int RunListPorts(const Options& o, const DeviceRoots& roots, std::FILE* out, std::FILE* err);

}  // namespace cli
