// What the console must hold to under any behaviour of the module, stated once
// and checked by the soak, the fuzz targets and the end-to-end tests.
//
// The checker sees only what the console wrote and showed: every write it made
// (host frames, ACK, NAK), every chunk of bytes handed to it, the presses of
// its buttons with the texts of the fields as the operator left them, its busy
// state and the totals of the DISPENSE page, its service log file, and the
// module's flash after "Downloading Done!".  From these it keeps its own model
// of the exchange: which frame the console is waiting for, which answer it
// awaits and when that wait must end.
//
//   (1) A DISPENSE, TEST DISP or ZIGZAG frame leaves the console only from an
//       operator's press of its button, as an ACK resend of that frame, or as
//       the next send of a batch after the awaited answer to the previous one
//       (and no sooner than Wait seconds after it).  Any other host frame also
//       needs a press, a resend, a batch send or a download's next block.
//   (2) The console is never busy longer than the response time-out plus the
//       ACK resends after its last send (and the Wait of a batch between an
//       answer and the next send).
//   (3) The totals shown (Requested, Dispensed, Rejected) equal the sums of the
//       answers the console counted: the requests of every send of the batch
//       and the counts of every awaited DISPENSE, TEST DISP, ZIGZAG and PURGE
//       answer since the batch began.
//   (4) Once the service log file exists it holds every payload byte of every
//       '~' frame the console accepted, in order, and nothing else.
//   (5) After "Downloading Done!" the module's flash equals the image.
//   (6) No crash and no sanitizer report: the programs that run the checker
//       are built with the sanitizers.
//   (7) A press sends nothing while a command or a batch is outstanding (its
//       answer awaited, a batch between its runs, a download running).
//   (8) A block write for the next block leaves only once the module has no
//       block answer outstanding (every ACK of a block copy was followed by
//       an 's' answer on the line; the module can take only the copies that
//       were written, so an ACK beyond them takes none), and so does
//       "Downloading Done!".
//   (9) An answer of a batch's code that no send waits for ends the batch
//       after the exchange under way (no further run of it), and the console
//       tells that the batch's counts are uncertain before the batch is over
//       (after a batch: at once).
//
// After a time-out of a dispense-type command, the next dispense-type press
// sends LAST STAT first and its own frame once LAST STAT has answered.
//
// The awaited answer of a send is the first frame the console accepts (answers
// with ACK) after it that carries the sent command's code at position 3,
// before the ETX.  The wait for it ends with that frame, with the response
// time-out (120 s after a first send, 130 s after a batch's next send; none
// for Go Loader and Reset, whose answers are not awaited), or when the ACK
// never comes (three resends, then one more second).
#pragma once

#include "console/ConsoleEvents.h"
#include "framework/HeadlessHost.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace inv {

struct Violation {
    int rule;             // 1..9, or 0 for the model losing track of the console
    std::uint64_t atMs;   // virtual time
    std::string text;
};

// The DISPENSE page's Total row as shown.
struct Totals {
    long requested = 0, dispensed = 0, rejected = 0;
    friend bool operator==(const Totals&, const Totals&) = default;
};
Totals ShownTotals(const fw::Host& host);

// The bytes one accepted '~' frame adds to the service log file: its payload
// (bytes 4 .. L-3) with "\r\n" after every 72 bytes, then "\r\n---END\r\n".
std::string LogBytesOf(const std::vector<std::uint8_t>& frame);

class Checker {
public:
    // ---- the operator ------------------------------------------------------
    // A click on control id reaches the console; page is the selected page,
    // repeat and wait the texts of the Repeat and Wait fields.
    void BeginPress(int id, int page, std::string_view repeat, std::string_view wait, std::uint64_t nowMs);
    void EndPress();
    // The folder the service log file is created in (the current directory
    // at the first accepted LOG).  The file is the one *.txt file there.
    void SetLogFolder(std::string folder) { m_logFolder = std::move(folder); }

    // ---- the line ---------------------------------------------------------
    void Received(const std::uint8_t* p, std::size_t n, std::uint64_t nowMs);  // before the console has them
    void Written(const std::uint8_t* p, std::size_t n, std::uint64_t nowMs);
    // The console has handled every byte received so far.
    void ChunkHandled(std::uint64_t nowMs);

    // ---- what the console shows -------------------------------------------
    void Shown(std::uint64_t nowMs, bool busy, const Totals& totals);
    void DownloadDone(std::uint64_t nowMs, const std::vector<std::uint8_t>& flash,
                      const std::vector<std::uint8_t>& image);
    // The console told "Downloading Done!" / that a batch's counts are uncertain.
    void DownloadDoneTold(std::uint64_t nowMs);
    void BatchUncertainTold(std::uint64_t nowMs);
    // The log file against every '~' frame accepted since it was created;
    // called as frames are accepted and once more at the end.
    void CheckLogFile(std::uint64_t nowMs);

    // The latest time at which the console may still be busy, when it is.
    std::uint64_t BusyDeadline() const;

    const std::vector<Violation>& Violations() const { return m_violations; }
    std::size_t ViolationCount() const { return m_violationCount; }
    std::uint64_t HostFramesWritten() const { return m_framesWritten; }
    std::uint64_t FramesAccepted() const { return m_framesAccepted; }
    // The newest events, oldest first, one a line; and those that led to the
    // first violation.
    std::string Trace() const;
    const std::string& FirstViolationTrace() const { return m_firstTrace; }
    // The trace of events costs a string per event; the fuzz targets leave it off.
    void SetTracing(bool on) { m_tracing = on; }
    // Forget everything the model knows (the fuzz targets begin each input with
    // a console in its initial state).
    void Reset();

    static constexpr std::size_t kKeepViolations = 50;  // kept in full; all are counted

private:
    struct Outstanding {
        bool active = false;
        std::uint8_t code = 0;
        std::vector<std::uint8_t> frame;  // as written
        std::uint64_t sendMs = 0;         // first send or batch send, not a resend
        std::uint64_t lastWriteMs = 0;    // the latest write of it, resends included
        std::uint64_t responseDue = 0;    // response time-out (0: none armed)
        int resends = 0;
        bool acked = false;               // the module's ACK came
        bool ackGaveUp = false;           // the console gave up waiting for the ACK
        bool awaiting = false;            // its answer is awaited
        bool answered = false;            // the awaited answer came
        std::uint64_t answerMs = 0;
        bool error = false;               // the answer carried a device error
    };
    struct Batch {
        int sendsLeft = 0;       // further sends of the batch
        std::uint64_t waitMs = 0;
        bool ended = true;
        std::uint8_t code = 0;   // the code its answers carry (counting batches only)
        bool stopAsked = false;  // an unasked answer of its code came: it ends at the awaited answer
        bool uncertainDue = false, uncertainTold = false;
    };

    enum class Rx { Idle, AwaitAck, InFrame, AwaitBcc };

    void Expire(std::uint64_t nowMs);
    void OnModuleAck(std::uint64_t nowMs);
    void OnAccepted(const std::vector<std::uint8_t>& f, std::uint64_t nowMs);
    void NewSend(const std::vector<std::uint8_t>& f, std::uint64_t nowMs, bool repeat);
    void Fail(int rule, std::uint64_t nowMs, std::string text);
    bool AnythingOutstanding() const;
    void StartBatch(int pressId, int page, int repeat, std::uint64_t waitMs);
    void OnLineFrame(const std::vector<std::uint8_t>& f);  // every complete frame the line carried
    // A byte the console's receiver drops while a block waits for its ACK;
    // true when it ended a block answer with a device error.
    bool StrayEndsBlock(std::uint8_t b);
    void CheckUncertain(std::uint64_t nowMs);
    void Note(std::string text);
    template <class F>
    void Trace(F&& make) {
        if (m_tracing) Note(make());
    }
    static std::string Describe(const std::vector<std::uint8_t>& f);
    std::optional<std::string> FindLogFile() const;

    // press
    bool m_inPress = false;
    bool m_pressUsed = false;
    int m_pressId = 0;
    int m_pressPage = 0;
    int m_pressRepeat = 1;
    std::uint64_t m_pressWaitMs = 1000;

    // mirror of the console's receiver
    Rx m_rx = Rx::Idle;
    std::vector<std::uint8_t> m_cur;
    std::deque<std::vector<std::uint8_t>> m_completed;  // awaiting the console's ACK or NAK
    std::vector<std::uint8_t> m_scratch;                // the host frame being written

    Outstanding m_out;
    Batch m_batch;
    bool m_downloading = false;
    int m_blocksAnswered = 0;
    std::uint64_t m_lastSendMs = 0;
    bool m_anySend = false;
    std::uint64_t m_busyReportedFor = UINT64_MAX;

    // the line's own frames, whatever the console made of them
    bool m_lineInFrame = false;
    std::vector<std::uint8_t> m_line;
    int m_blockOwed = 0;    // block answers the module owes (ACKs of block copies not yet answered)
    int m_blockCopies = 0;  // block copies written whose ACK has not come
    // LAST STAT asked first after a dispense time-out
    bool m_dispenseTimedOut = false;
    std::uint8_t m_fenceFor = 0;  // the code of the press held for LAST STAT's answer
    bool m_fenceAnswered = false;
    int m_fencePage = 0, m_fenceRepeat = 1, m_fenceId = 0;
    std::uint64_t m_fenceWaitMs = 1000;
    std::uint8_t m_lastBatchCode = 0;
    bool m_lineBcc = false;
    // The console's look at a frame it drops while a block waits for its ACK:
    // a block answer with a device error ends the block's exchange there.
    bool m_strayIn = false;
    std::vector<std::uint8_t> m_stray;
    bool m_autoVerifyAllowed = false;  // Verify may follow "Downloading Done!" by itself

    Totals m_totals;
    bool m_totalsBad = false;

    std::string m_logFolder;
    std::string m_logPath;
    std::string m_logPending;  // expected bytes not yet compared with the file
    std::uint64_t m_logOffset = 0;

    std::vector<Violation> m_violations;
    std::size_t m_violationCount = 0;
    std::uint64_t m_framesWritten = 0;
    std::uint64_t m_framesAccepted = 0;
    std::array<std::string, 48> m_trace{};
    std::size_t m_traceNext = 0;
    std::string m_firstTrace;
    bool m_tracing = true;
};

// Listens to a console (a subscriber of its events) and feeds the checker:
// every write, every chunk handed to the receiver, every press with the
// fields as the operator left them, the console's idle state, the totals it
// shows, "Downloading Done!" and the notice of uncertain batch counts.  It
// reads no member of the console: the page and the fields come from the host,
// as the operator sees them.
class ConsoleWatch final : public ev::ConsoleObserver {
public:
    ConsoleWatch(fw::HeadlessHost& host, Checker& checker) : m_host(host), m_checker(checker) {}

    // Called at the "Downloading Done!" notice (the soak compares the flash).
    std::function<void(std::uint64_t nowMs)> m_onDownloadDone;

    // The console's busy state and totals against the checker, now.
    void Look();
    bool Busy() const { return !m_idle; }

    void Written(const std::uint8_t* p, std::size_t n, const ev::TxNote& note) override;
    void ChunkBegin(const std::uint8_t* p, std::size_t n) override;
    void ChunkEnd() override;
    void Pressed(const ev::Press& press) override;
    void Refused(const ev::Press& press, ev::Refusal why, std::string_view detail) override;
    void Noticed(const ev::Notice& notice) override;
    void Idle(bool idle) override;

    std::uint64_t BytesWritten() const { return m_bytesWritten; }
    std::uint64_t BytesReceived() const { return m_bytesReceived; }
    void Reset() {
        m_bytesWritten = m_bytesReceived = 0;
        m_idle = true;
    }

private:
    fw::HeadlessHost& m_host;
    Checker& m_checker;
    bool m_idle = true;
    std::uint64_t m_bytesWritten = 0;
    std::uint64_t m_bytesReceived = 0;
};

}  // namespace inv
