#include "records/BatchRecord.h"

#include "commands/CommandType.h"
#include "records/RunResult.h"

#include <algorithm>

namespace rec {

std::int64_t SystemWallClockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string_view OutcomeWord(Outcome o) {
    switch (o) {
    case Outcome::Running: return "";
    case Outcome::Ok: return res::Word(res::Result::Ok);
    case Outcome::DeviceError: return res::Word(res::Result::DeviceError);
    case Outcome::LinkFailed: return res::Word(res::Result::LinkFailed);
    case Outcome::Interrupted: return res::Word(res::Result::Interrupted);
    case Outcome::Uncertain: return res::Word(res::Result::Uncertain);
    case Outcome::Stopped: return res::Word(res::Result::Stopped);
    }
    return "";
}

void Counts::Add(const Counts& c) {
    for (int b = 0; b < kBoxes; ++b) {
        requested[b] += c.requested[b];
        dispensed[b] += c.dispensed[b];
        rejected[b] += c.rejected[b];
    }
    for (int k = 0; k < kReasons; ++k) reasons[k] += c.reasons[k];
}

namespace {
int Sum(const int (&v)[kBoxes]) { return v[0] + v[1] + v[2] + v[3]; }
}  // namespace

int Counts::Requested() const { return Sum(requested); }
int Counts::Dispensed() const { return Sum(dispensed); }
int Counts::Rejected() const { return Sum(rejected); }

std::string_view CommandName(int type) {
    switch (type) {
    case cmd::kDispense: return "dispense";
    case cmd::kTestDisp: return "test-dispense";
    case cmd::kZigzag: return "zigzag";
    case cmd::kPurge: return "purge";
    default: return "";
    }
}

bool IsRecordedType(int type) { return !CommandName(type).empty(); }

BatchRecord::BatchRecord(WallClock clock) : m_clock(std::move(clock)) {}

std::string BatchRecord::Arguments() const {
    if (m_info.type == cmd::kPurge || m_info.number == 0) return {};
    std::string s;
    for (int b = 0; b < kBoxes; ++b) {
        if (b) s += ' ';
        s += std::to_string(m_info.request[b]);
    }
    s += " --repeat " + std::to_string(m_info.repeat);
    return s;
}

Summary BatchRecord::Summary() const {
    rec::Summary s;
    s.counts = m_totals;
    if (m_unanswered) {
        s.countsKnown = false;
        for (int b = 0; b < kBoxes; ++b) s.counts.requested[b] += m_info.request[b];
    }
    return s;
}

void BatchRecord::Pressed(const ev::Press& press) {
    // Only a press that sends a frame begins a batch: until then the last
    // batch's record stays.
    m_pendingType = IsRecordedType(press.type) ? press.type : 0;
    if (m_pendingType) m_pendingMs = m_clock();
}

void BatchRecord::Refused(const ev::Press& press, ev::Refusal why, std::string_view detail) {
    (void)press, (void)why, (void)detail;
    m_pendingType = 0;
}

void BatchRecord::Written(const std::uint8_t* p, std::size_t n, const ev::TxNote& note) {
    (void)p, (void)n;
    if (note.kind == ev::TxKind::RepeatSend && Running() && !note.notSent && note.frame &&
        note.frame->type == m_info.type)
        m_unanswered = true;
    if (!m_pendingType || note.kind != ev::TxKind::FirstSend) return;
    if (note.notSent || !note.frame || note.frame->type != m_pendingType) {
        m_pendingType = 0;
        return;
    }
    Begin();
    // The batch's size and request are known from its first frame: a batch cut
    // short before any answer still says what it asked for.
    m_info.repeat = m_info.type == cmd::kPurge ? 1 : std::max(note.runs, 1);
    if (note.frame->kind == ev::NoteKind::Counts)
        for (int b = 0; b < kBoxes && b < note.frame->count; ++b) m_info.request[b] = note.frame->values[b];
    m_unanswered = true;
}

void BatchRecord::Begin() {
    if (Running()) End(Outcome::Interrupted);
    if (m_beforeNew && m_info.number != 0) m_beforeNew();
    m_info = BatchInfo{m_info.number + 1, m_pendingType, m_pendingMs, 0, m_openPort};
    m_pendingType = 0;
    m_rows.clear();
    m_rows.reserve(kMaxRows);  // once in the record's life: clear keeps the capacity
    m_totals = Counts{};
    m_answers = 0;
    m_dropped = 0;
    m_lastError = -1;
    m_linkFailed = false;
    m_stopAsked = false;
    m_unanswered = false;
    m_endMs = 0;
    m_outcome = Outcome::Running;
}

void BatchRecord::End(Outcome o) {
    if (!Running()) return;
    m_outcome = o;
    m_endMs = m_clock();
}

void BatchRecord::Noticed(const ev::Notice& notice) {
    // A late answer during the batch stopped it; after it, it marks the last
    // batch's counts.  Either way the record says they may be off by one.
    if (notice.kind == ev::NoticeKind::BatchUncertain && m_info.number != 0) {
        if (Running()) m_endMs = m_clock();
        m_outcome = Outcome::Uncertain;
    }
    if (notice.kind == ev::NoticeKind::BatchStopped && Running()) m_stopAsked = true;
}

void BatchRecord::Answered(const ev::Answer& answer) {
    if (!answer.awaited || !answer.counts) return;
    // An answer whose send was not seen (no Written told) still begins the batch.
    if (m_pendingType && answer.type == m_pendingType) Begin();
    if (!Running() || answer.type != m_info.type) return;
    m_unanswered = false;

    AnswerRow row;
    row.timeMs = m_clock();
    ++m_answers;
    row.of = answer.of > 0 ? answer.of : 1;
    row.index = answer.index > 0 ? answer.index : m_answers;
    row.error = answer.error;
    const ev::DispenseCounts& c = *answer.counts;
    for (int b = 0; b < kBoxes; ++b) {
        row.counts.requested[b] = c.requested[b];
        row.counts.dispensed[b] = c.dispensed[b];
        row.counts.rejected[b] = c.rejected[b];
    }
    std::copy(std::begin(c.reasons), std::end(c.reasons), row.counts.reasons);
    if (m_info.repeat == 0) m_info.repeat = row.of;
    if (m_answers == 1 && m_info.type != cmd::kPurge)
        for (int b = 0; b < kBoxes; ++b)
            if (m_info.request[b] == 0) m_info.request[b] = row.counts.requested[b];
    m_totals.Add(row.counts);
    if (row.error >= 0) m_lastError = row.error;
    if (m_rows.size() < kMaxRows)
        m_rows.push_back(row);
    else
        ++m_dropped;
    if (m_onRow) m_onRow(row);

    // The console ends a batch at a dispense or PURGE answer with a device
    // error, and at its last answer.
    if (row.error >= 0)
        End(Outcome::DeviceError);
    else if (row.index >= row.of)
        End(Outcome::Ok);
}

void BatchRecord::Link(ev::LinkEvent e, int nPort, std::string_view detail) {
    (void)detail;
    switch (e) {
    case ev::LinkEvent::AckTimeout:
    case ev::LinkEvent::ResponseTimeout:
        End(Outcome::LinkFailed);
        break;
    case ev::LinkEvent::PortLost:
        m_linkFailed = true;  // the time-outs that follow end the batch
        break;
    case ev::LinkEvent::Open:
        m_openPort = nPort;
        break;
    case ev::LinkEvent::Close:
    case ev::LinkEvent::OpenFailed:
        m_pendingType = 0;
        break;
    default: break;
    }
}

void BatchRecord::Idle(bool idle) {
    if (!idle || !Running()) return;
    if (m_linkFailed)
        End(Outcome::LinkFailed);
    else if (m_lastError >= 0)
        End(Outcome::DeviceError);
    else if (m_stopAsked)
        End(Outcome::Stopped);
    else
        End(Outcome::Interrupted);
}

}  // namespace rec
