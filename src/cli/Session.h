// One run of zantu-cli: the console core on a headless host driven in real
// time, with the real serial channel.  The session works the window as an
// operator does: it selects the command's page, types the arguments into the
// bound fields, clicks the same button and lets the console run.  Every
// frame, resend, time-out and decoding rule is therefore the window's.
//
// What happened it hears from the console's events (console/ConsoleEvents.h):
// each answer with its decoded fields and batch position, the device errors,
// the link giving up, the loader's answer, each block written, the results of
// the download, Verify and Reset, the log file, a lost port, and when the
// console is idle again.  Message boxes go to standard error and are answered
// OK at once; no decision is taken from their text.
//
// Stopping: after Ctrl+C (or once standard output is gone) the session asks
// the console to send nothing more after the exchange under way, and ends as
// soon as that exchange is over.
#pragma once

#include "cli/CliArgs.h"
#include "cli/Report.h"
#include "cli/Verdict.h"
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
#include <optional>
#include <string>

namespace cli {

// Exit statuses: these five are the tool's own, the rest come from sysexits.h
// (all with their result words in records/RunResult.h).
inline constexpr int kExitOk = res::ExitOf(res::Result::Ok);
inline constexpr int kExitDeviceError = res::ExitOf(res::Result::DeviceError);
inline constexpr int kExitLinkFailed = res::ExitOf(res::Result::LinkFailed);
inline constexpr int kExitPortFailed = res::ExitOf(res::Result::PortFailed);
inline constexpr int kExitUncertain = res::ExitOf(res::Result::Uncertain);

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
    bool progress = false;          // a progress bar on err (a terminal)
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
    // --record: each answer's row goes to this writer as it comes, the
    // summary row (or a download's row) at the end (shared by the ports of a
    // run, taken under recordLock).  A row the file cannot take whole stops
    // the run after the exchange under way, with exit status 74.
    rec::RecordWriter* record = nullptr;
    std::mutex* recordLock = nullptr;
    // The fields of every row of this port: the run's id, station and
    // version, and the port's unit (the port and command are the session's).
    rec::RunFields recordRun;
    // Keep the batch's record (its rows) for Batch() without --record: the
    // results database reads it after the run.
    bool keepBatch = false;
};

class Session final : private ev::ConsoleObserver {
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
    // Once finished: the run's summary record (exit, result, message and a
    // batch's sums and totals) and the fields of the last awaited answer;
    // what a plan's step is judged on.
    const Record& Summary() const { return m_summary; }
    // The CRC-32 of the image a download sent (none before it was read).
    std::optional<std::uint32_t> ImageCrc32() const { return m_imageCrc; }
    const std::vector<Field>& LastAnswerFields() const { return m_lastFields; }
    // The batch's record (null unless --record or keepBatch).
    const rec::BatchRecord* Batch() const { return m_batchRecord.get(); }

private:
    using Clock = std::chrono::steady_clock;
    enum class Verify : std::uint8_t { NotRun, Ok, Failed };

    // ---- the console's events ---------------------------------------------
    void Written(const std::uint8_t* p, std::size_t n, const ev::TxNote& note) override;
    void Link(ev::LinkEvent e, int nPort, std::string_view detail) override;
    void Refused(const ev::Press& press, ev::Refusal why, std::string_view detail) override;
    void Answered(const ev::Answer& answer) override;
    void Noticed(const ev::Notice& notice) override;
    void ChunkBegin(const std::uint8_t*, std::size_t) override { m_lastRxAt = Clock::now(); }
    void Idle(bool idle) override {
        m_idle = idle;
        if (idle) m_exchangeOpen = false;
    }

    int OnBox(const fw::MessageBoxRecord& box);
    bool Open();
    void RunButton();
    void RunLog();
    void RunDownload();
    // After a dispense-type run: listens until the line has been quiet for
    // kQuietGuard; an answer inside it makes the counts uncertain.
    void ListenForQuiet();
    void SetUncertain(std::string why);
    // Fields of an unasked dispense-type or PURGE answer: its own counts.
    std::vector<Field> UnaskedCountFields(const ev::Answer& a) const;
    // Waits (bounded) until the bytes written have left the line.
    void DrainLine();
    bool PressOnPage(int page, int id);
    // Drives the console until done() holds, the link failed or a stop
    // request ends the wait; returns done().
    bool Drive(const std::function<bool()>& done);
    bool StopAsked() const { return m_cfg.stop && m_cfg.stop->load() >= 1; }
    bool StopNow() const { return m_cfg.stop && m_cfg.stop->load() >= 2; }
    // A stop was asked (Ctrl+C), the output is gone or the record could not
    // take a row: nothing new starts.
    bool Stopping() const { return StopAsked() || m_outputFailed || !m_recordWhy.empty(); }
    // The run ends here with work left undone when a stop was asked.
    bool Halted();
    void Emit(const Record& r);
    void Note(const std::string& text);  // a line on err
    void Fail(int exitCode, const std::string& why);
    void DrawProgress(bool force);
    void ClearProgress();
    std::string StatusLine() const;
    // The batch's sums and totals for the summary.
    std::vector<Field> BatchFields() const;
    // What the run saw, for its verdict.
    RunFacts Facts() const;
    int Finish();
    // Appends a row to the --record file under its lock; false (and the run
    // stops) when the file could not take it whole.
    bool WriteRecordRow(const rec::Row& row);
    // The summary row of a batch, the same numbers as the JSON summary's
    // fields (jsonFields), or a download's row; false when it could not be written.
    bool WriteRecordEnd(int exitCode, const std::string& message, const std::vector<Field>& jsonFields);

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

    // What the console told.
    bool m_opened = false;            // the port was opened
    bool m_idle = true;               // no command outstanding, no batch or download
    bool m_exchangeOpen = false;      // a frame went out and its exchange is not over
    ev::FrameNote m_lastFrame;        // the last host frame written
    bool m_answerUnread = false;      // a dispense-type send whose answer never came
    int m_answers = 0;                // awaited answers
    int m_batchOf = 0;                // sends of the batch, for "k of n"
    int m_deviceErrors = 0;           // answers and unasked frames with a device error
    std::vector<Field> m_lastFields;  // the last awaited answer's fields
    bool m_linkFailed = false;
    std::string m_linkWhy;
    std::string m_lostPath;  // the device that went away
    bool m_paramRefused = false, m_fileRefused = false, m_passwordRefused = false, m_logRefused = false;
    std::string m_refusedWhy;
    bool m_loaderReplied = false;  // an answer to Go Loader came (with or without an error)
    bool m_resetReplied = false;   // Reset's answer came
    bool m_loaderAnswered = false, m_downloadDone = false, m_resetAcked = false;
    bool m_downloadWithdrawn = false;  // a block's error after "Downloading Done!" withdrew it
    bool m_verifySent = false;         // a Verify frame left since "Downloading Done!"
    bool m_uncertain = false;  // the counts cannot be vouched for
    std::string m_uncertainWhy;
    bool m_guarding = false;        // listening for quiet after the run
    Clock::time_point m_lastRxAt{};  // the last byte received
    bool m_portLost = false;
    bool m_dispenseGivenUp = false;  // the link gave up on a dispense-type command
    Verify m_verify = Verify::NotRun;
    int m_blocks = 0;                         // blocks written without error
    std::optional<std::uint16_t> m_imageSum;  // of the image loaded
    std::optional<std::uint32_t> m_imageCrc;  // its CRC-32, for the record
    rec::RunFields m_recordRun;               // the record's fields of this port and command
    std::int64_t m_startMs = 0;               // wall clock at the start of the run
    std::string m_recordWhy;                  // the record file could not take a row
    std::string m_logPath;
    bool m_logWriteFailed = false;
    Clock::time_point m_lastLogAt{};

    std::string m_step;  // the download's step, for its records
    int m_failExit = 0;  // a failure of its own (port, usage, file) and its message
    std::string m_failWhy;
    bool m_stopSent = false;  // the console was told to stop after the exchange
    bool m_cutShort = false;  // a stop left work undone
    std::string m_traceWhy;   // the trace file could not be written
    bool m_outputFailed = false;
    int m_outputErrno = 0;
    // progress bar
    bool m_barShown = false;
    Clock::time_point m_barAt{};
    std::string m_barText;
    std::string m_result;  // the result word, once finished
    Record m_summary;      // the summary, once finished
};

// list-ports: the serial ports found under roots, with the COM number each
// stands for (COMn is /dev/ttyS(n-1)).
int RunListPorts(const Options& o, const DeviceRoots& roots, std::FILE* out, std::FILE* err);

}  // namespace cli
