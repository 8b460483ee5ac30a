// The record of one dispense batch: one row per awaited answer, as the console
// told it, and the batch's totals.  It listens to the console's events; the
// batch record window and zantu-cli read it and write it out
// (records/RecordWriter.h).
//
// A batch begins with a press of DISPENSE, TEST DISP, ZIGZAG or PURGE that
// sends its frame, and ends when the console is idle again: after its last
// answer, a device error, a time-out, a lost port or a stop; or when the
// program ends while it runs (Interrupt).  Its request per box and its repeat
// count are known from its first frame, before any answer.  A send whose
// answer never came leaves the batch's dispensed and rejected counts unknown
// (the module may have moved notes no answer told): its request still counts.  A press that sent
// nothing leaves the last batch's record as it was.  The record keeps at most
// kMaxRows rows (the largest Repeat): a further answer is counted in the
// totals and in Dropped() but not kept as a row.
//
// Every call comes on the console's thread and returns at once: an answer
// copies a few numbers into a row reserved at the batch's start.
#pragma once

#include "console/ConsoleEvents.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace rec {

inline constexpr int kBoxes = 4;
inline constexpr int kReasons = 7;
inline constexpr std::size_t kMaxRows = 2000;
// The reject reasons as the DISPENSE page captions them, in the answer's order.
inline constexpr std::array<std::string_view, kReasons> kReasonNames = {"Reject", "RVDT", "LEN", "SKW",
                                                                        "DST",    "FLEN", "FDST"};

// Wall-clock time in milliseconds since 1970 (UTC).
using WallClock = std::function<std::int64_t()>;
std::int64_t SystemWallClockMs();

// How a batch ended; the words are zantu-cli's result words.
enum class Outcome : std::uint8_t {
    Running,      // still waiting for answers
    Ok,           // every answer came, none with a device error
    DeviceError,  // an answer carried a device error
    LinkFailed,   // no ACK, no answer, or the port went away
    Interrupted,  // the console went idle before the last answer for another reason
    Uncertain,    // an answer came that no send waited for: the counts may be off by one
    Stopped,      // STOP (or zantu-cli's first Ctrl+C) ended it after the exchange under way
};
std::string_view OutcomeWord(Outcome o);  // "" while running

// The counts of one answer, or the totals of a batch.
struct Counts {
    int requested[kBoxes] = {};
    int dispensed[kBoxes] = {};
    int rejected[kBoxes] = {};
    int reasons[kReasons] = {};

    void Add(const Counts& c);
    int Requested() const;
    int Dispensed() const;
    int Rejected() const;
};

struct AnswerRow {
    std::int64_t timeMs = 0;  // wall clock when the answer was decoded
    int index = 0, of = 0;    // answer k of n
    int error = -1;           // device error code, -1: none
    Counts counts;
};

// What a batch was: the same for each of its rows.
struct BatchInfo {
    std::uint64_t number = 0;  // 1, 2, ... in this record's life; 0: none yet
    int type = 0;              // cmd::Type of the command
    std::int64_t startMs = 0;  // wall clock of the press
    int repeat = 0;            // answers asked for (from the first frame)
    int port = 0;              // the COM number open at the start, 0: not known
    int request[kBoxes] = {};  // notes asked of each box by one send (PURGE: none)
};

// What a batch's summary row says: the sums over its answers, plus the request
// of a send whose answer never came; then the dispensed and rejected counts
// and the reasons are not known.
struct Summary {
    Counts counts;
    bool countsKnown = true;
};

// zantu-cli's name of a command type ("dispense", "test-dispense", "zigzag",
// "purge"); "" for the types that make no batch record.
std::string_view CommandName(int type);
// True for the types whose press begins a batch record.
bool IsRecordedType(int type);

class BatchRecord final : public ev::ConsoleObserver {
public:
    explicit BatchRecord(WallClock clock = SystemWallClockMs);

    // The batch being recorded or the last one; number 0 before any.
    const BatchInfo& Info() const { return m_info; }
    std::span<const AnswerRow> Rows() const { return m_rows; }
    const Counts& Totals() const { return m_totals; }
    int Answers() const { return m_answers; }        // answers counted, kept or not
    std::size_t Dropped() const { return m_dropped; }  // answers past kMaxRows
    Outcome Result() const { return m_outcome; }
    bool Running() const { return m_info.number != 0 && m_outcome == Outcome::Running; }
    int LastError() const { return m_lastError; }  // the last device error of the batch, -1: none
    // The arguments as zantu-cli takes them: "5 0 2 0 --repeat 10" ("" for PURGE).
    std::string Arguments() const;
    // The totals for the summary row (see Summary).
    rec::Summary Summary() const;
    // The batch's end on the wall clock (0 while running).
    std::int64_t EndMs() const { return m_endMs; }
    // The program ends while the batch runs: it ends here, interrupted.
    void Interrupt() { End(Outcome::Interrupted); }

    // Called after each answer's row is added (zantu-cli writes it at once).
    void SetOnRow(std::function<void(const AnswerRow&)> f) { m_onRow = std::move(f); }

    // Called when a new batch begins, before the last one's rows are dropped
    // (so its rows can be written out first).  Runs inside the console's event.
    void SetBeforeNewBatch(std::function<void()> f) { m_beforeNew = std::move(f); }

    // ---- ev::ConsoleObserver -------------------------------------------------
    void Pressed(const ev::Press& press) override;
    void Refused(const ev::Press& press, ev::Refusal why, std::string_view detail) override;
    void Written(const std::uint8_t* p, std::size_t n, const ev::TxNote& note) override;
    void Answered(const ev::Answer& answer) override;
    void Link(ev::LinkEvent e, int nPort, std::string_view detail) override;
    void Idle(bool idle) override;
    void Noticed(const ev::Notice& notice) override;

private:
    void Begin();
    void End(Outcome o);

    WallClock m_clock;
    std::function<void()> m_beforeNew;
    std::function<void(const AnswerRow&)> m_onRow;
    int m_openPort = 0;  // the COM number of the last OPEN
    int m_pendingType = 0;  // pressed, its frame not yet sent
    std::int64_t m_pendingMs = 0;
    BatchInfo m_info;
    std::vector<AnswerRow> m_rows;  // at most kMaxRows, reserved once
    Counts m_totals;
    int m_answers = 0;
    std::size_t m_dropped = 0;
    int m_lastError = -1;
    bool m_linkFailed = false;
    bool m_stopAsked = false;   // told to stop after the exchange under way
    bool m_unanswered = false;  // a send of the batch whose answer has not come
    std::int64_t m_endMs = 0;
    Outcome m_outcome = Outcome::Running;
};

}  // namespace rec
