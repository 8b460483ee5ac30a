#include "Invariants.h"

#include "console/ConsoleDlg.h"
#include "console/ControlIds.h"
#include "link/LinkFrame.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace inv {
namespace {

constexpr std::uint64_t kAck = kAckMs;
constexpr std::uint64_t kFirstResponse = kResponseFirstMs;
constexpr std::uint64_t kRepeatResponse = kResponseRepeatMs;
constexpr int kResends = proto::kMaxAckRetries;
constexpr int kBlocks = kBlockCount;

// The code each command button sends.
struct Button {  // control id, command code
    int id;
    std::uint8_t code;
};
constexpr std::array<Button, 23> kButtons{{
    {1001, 'R'}, {1002, 'Q'}, {1003, 'S'}, {1004, 'U'}, {1005, 'p'}, {1006, 'P'}, {1007, '['}, {1008, 'Z'},
    {1009, ']'}, {1010, '\\'}, {1011, 'X'}, {1012, 'q'}, {1013, 'q'}, {1014, 'q'}, {1015, 'q'}, {1016, 'q'},
    {1017, '_'}, {1018, '^'}, {1019, '~'}, {1170, 'r'}, {1171, 's'}, {1172, 't'}, {1173, 'D'},
}};

std::uint8_t CodeOf(int id) {
    for (const Button& b : kButtons)
        if (b.id == id) return b.code;
    return 0;
}

constexpr bool IsDispense(std::uint8_t c) { return c == 'R' || c == 'S' || c == 'p'; }
constexpr bool CarriesCounts(std::uint8_t c) { return IsDispense(c) || c == 'Q'; }
// Go Loader and Reset leave the console idle; their answers are not awaited.
constexpr bool Awaited(std::uint8_t c) { return c != 'r' && c != 'D'; }

// A field read as the console reads Repeat and Wait: strtol, base 10, and 1
// outside 1..hi.
int Clamped(std::string_view text, long hi) {
    const std::string s(text);
    const long v = std::strtol(s.c_str(), nullptr, 10);
    return (v < 1 || v > hi) ? 1 : static_cast<int>(v);
}

long ParseLong(const std::string& s) { return std::strtol(s.c_str(), nullptr, 10); }

}  // namespace

Totals ShownTotals(const fw::Host& host) {
    return {ParseLong(host.GetControlText(1129)), ParseLong(host.GetControlText(1130)),
            ParseLong(host.GetControlText(1131))};
}

std::string LogBytesOf(const std::vector<std::uint8_t>& f) {
    std::string out;
    if (f.size() >= 6) {
        const std::size_t payload = f.size() - 6;
        for (std::size_t k = 0; k < payload; ++k) {
            out.push_back(static_cast<char>(f[4 + k]));
            if ((k + 1) % 72 == 0) out += "\r\n";
        }
    }
    out += "\r\n---END\r\n";
    return out;
}

// ---- bookkeeping ------------------------------------------------------------------

void Checker::Fail(int rule, std::uint64_t nowMs, std::string text) {
    ++m_violationCount;
    Trace([&] { return "VIOLATION (" + std::to_string(rule) + ") " + text; });
    if (m_violationCount == 1) m_firstTrace = Trace();
    if (m_violations.size() < kKeepViolations) m_violations.push_back({rule, nowMs, std::move(text)});
}

void Checker::Note(std::string text) {
    m_trace[m_traceNext % m_trace.size()] = std::move(text);
    ++m_traceNext;
}

std::string Checker::Trace() const {
    std::string out;
    const std::size_t n = std::min(m_traceNext, m_trace.size());
    for (std::size_t i = m_traceNext - n; i < m_traceNext; ++i) out += m_trace[i % m_trace.size()] + "\n";
    return out;
}

std::string Checker::Describe(const std::vector<std::uint8_t>& f) {
    std::string s;
    char b[8];
    const std::size_t n = std::min<std::size_t>(f.size(), 12);
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X ", f[i]);
        s += b;
    }
    if (f.size() > n) s += "... (" + std::to_string(f.size()) + " bytes)";
    return s;
}

void Checker::Reset() {
    // Member by member, keeping the buffers' memory: the fuzz targets reset
    // the checker for every input.
    const std::string folder = std::move(m_logFolder);
    const bool tracing = m_tracing;
    std::vector<std::uint8_t> cur = std::move(m_cur), frame = std::move(m_out.frame), scratch = std::move(m_scratch);
    std::deque<std::vector<std::uint8_t>> completed = std::move(m_completed);
    std::vector<Violation> violations = std::move(m_violations);
    cur.clear();
    frame.clear();
    scratch.clear();
    completed.clear();
    violations.clear();
    *this = Checker();
    m_logFolder = folder;
    m_tracing = tracing;
    m_cur = std::move(cur);
    m_out.frame = std::move(frame);
    m_scratch = std::move(scratch);
    m_completed = std::move(completed);
    m_violations = std::move(violations);
}

// ---- the operator -------------------------------------------------------------------

void Checker::BeginPress(int id, int page, std::string_view repeat, std::string_view wait, std::uint64_t) {
    m_inPress = true;
    m_pressUsed = false;
    m_pressId = id;
    m_pressPage = page;
    m_pressRepeat = Clamped(repeat, 2000);
    m_pressWaitMs = static_cast<std::uint64_t>(Clamped(wait, 600)) * 1000;
}

void Checker::EndPress() { m_inPress = false; }

// ---- the model ------------------------------------------------------------------

void Checker::Expire(std::uint64_t nowMs) {
    Outstanding& o = m_out;
    if (!o.active) return;
    // The fourth ACK-timer expiry gives up (each expiry is one second after a write).
    if (!o.acked && !o.ackGaveUp && o.resends >= kResends && nowMs >= o.lastWriteMs + kAck) {
        o.ackGaveUp = true;
        o.awaiting = false;
        m_batch.ended = true;
        m_downloading = false;
        m_blockOwed = m_blockCopies = 0;
        if (IsDispense(o.code)) m_dispenseTimedOut = true;
        if (o.code == 'U') m_fenceFor = 0;
        Trace([&] { return "t=" + std::to_string(nowMs) + " ACK time-out"; });
    }
    if (o.awaiting && o.responseDue && nowMs >= o.responseDue) {
        o.awaiting = false;
        m_batch.ended = true;
        m_downloading = false;
        m_blockOwed = m_blockCopies = 0;
        if (IsDispense(o.code)) m_dispenseTimedOut = true;
        if (o.code == 'U') m_fenceFor = 0;
        Trace([&] { return "t=" + std::to_string(nowMs) + " response time-out"; });
    }
}

void Checker::NewSend(const std::vector<std::uint8_t>& f, std::uint64_t nowMs, bool repeat) {
    Outstanding o;
    o.active = true;
    o.code = f.size() > 3 ? f[3] : 0;
    o.frame = std::move(m_out.frame);  // its memory, not its bytes
    if (&f != &o.frame) o.frame.assign(f.begin(), f.end());
    o.sendMs = o.lastWriteMs = nowMs;
    o.awaiting = Awaited(o.code);
    if (o.awaiting) o.responseDue = nowMs + (repeat ? kRepeatResponse : kFirstResponse);
    m_out = std::move(o);
    m_lastSendMs = nowMs;
    m_anySend = true;
    if (IsDispense(m_out.code) && f.size() >= 8)
        for (std::size_t i = 4; i < 8; ++i) m_totals.requested += f[i] - 0x20;
}

void Checker::Written(const std::uint8_t* p, std::size_t n, std::uint64_t nowMs) {
    if (n == 0) return;
    Expire(nowMs);
    auto t = [nowMs] { return "t=" + std::to_string(nowMs) + " "; };
    if (n == 1 && (p[0] == proto::ACK || p[0] == proto::NAK)) {
        const bool ack = p[0] == proto::ACK;
        if (m_completed.empty()) {
            Fail(0, nowMs, std::string(ack ? "ACK" : "NAK") + " written with no frame received to answer");
            return;
        }
        std::vector<std::uint8_t> f = std::move(m_completed.front());
        m_completed.pop_front();
        Trace([&] { return t() + (ack ? "ACK to " : "NAK to ") + Describe(f); });
        if (ack) OnAccepted(f, nowMs);
        return;
    }
    if (p[0] != proto::EOT) {
        Fail(0, nowMs, "a write that is neither a host frame, ACK nor NAK: " + Describe({p, p + n}));
        return;
    }
    std::vector<std::uint8_t>& f = m_scratch;
    f.assign(p, p + n);
    const std::uint8_t code = n > 3 ? f[3] : 0;
    ++m_framesWritten;
    Outstanding& o = m_out;
    if (m_inPress && !m_pressUsed) {
        m_pressUsed = true;
        m_autoVerifyAllowed = false;
        std::uint8_t want = CodeOf(m_pressId);
        if (AnythingOutstanding())
            Fail(7, nowMs, "a press of " + std::to_string(m_pressId) + " sent " + Describe(f) +
                               " while a command or batch was outstanding");
        // After a dispense time-out a dispense-type press asks LAST STAT first.
        const bool fence = IsDispense(want) && m_dispenseTimedOut;
        if (fence) {
            m_fenceFor = want;
            m_fenceAnswered = false;
            m_fenceId = m_pressId;
            m_fencePage = m_pressPage;
            m_fenceRepeat = m_pressRepeat;
            m_fenceWaitMs = m_pressWaitMs;
            want = 'U';
        }
        if (code != want)
            Fail(1, nowMs, "a press of " + std::to_string(m_pressId) + " sent " + Describe(f));
        if (fence)
            m_batch = {0, 0, true, 0, false, m_batch.uncertainDue, m_batch.uncertainTold};
        else
            StartBatch(m_pressId, m_pressPage, m_pressRepeat, m_pressWaitMs);
        if (m_pressId == 1171) {
            m_downloading = true;
            m_blocksAnswered = 0;
            m_blockOwed = m_blockCopies = 0;
        }
        Trace([&] { return t() + "press " + std::to_string(m_pressId) + " sends " + Describe(f); });
        NewSend(f, nowMs, false);
    } else if (m_fenceFor != 0 && m_fenceAnswered && code == m_fenceFor) {
        // The press held for LAST STAT's answer goes out now.
        m_fenceFor = 0;
        StartBatch(m_fenceId, m_fencePage, m_fenceRepeat, m_fenceWaitMs);
        Trace([&] { return t() + "held press " + std::to_string(m_fenceId) + " sends " + Describe(f); });
        NewSend(f, nowMs, false);
    } else if (code == 't' && m_autoVerifyAllowed && !AnythingOutstanding()) {
        m_autoVerifyAllowed = false;
        m_batch = {0, 0, true, 0, false, m_batch.uncertainDue, m_batch.uncertainTold};
        Trace([&] { return t() + "Verify by itself " + Describe(f); });
        NewSend(f, nowMs, false);
    } else if (o.active && f == o.frame && !o.acked && !o.ackGaveUp && o.resends < kResends &&
               nowMs >= o.lastWriteMs + kAck) {
        ++o.resends;
        o.lastWriteMs = nowMs;
        Trace([&] { return t() + "resend " + std::to_string(o.resends) + " of " + Describe(f); });
    } else if (o.active && f == o.frame && o.answered && !m_batch.ended && m_batch.sendsLeft > 0 &&
               nowMs >= o.answerMs + m_batch.waitMs) {
        --m_batch.sendsLeft;
        Trace([&] { return t() + "batch send of " + Describe(f) + ", " + std::to_string(m_batch.sendsLeft) + " more"; });
        NewSend(f, nowMs, true);
    } else if (code == 's' && m_downloading && o.active && o.code == 's' && o.answered && !o.error) {
        if (m_blockOwed > 0)
            Fail(8, nowMs, "the next block " + Describe(f) + " left while the module still owed " +
                               std::to_string(m_blockOwed) + " block answer(s)");
        Trace([&] { return t() + "next block " + Describe(f); });
        NewSend(f, nowMs, false);
    } else {
        std::string why = "frame " + Describe(f) + " sent without a press";
        if (o.active && f == o.frame) {
            why += o.answered ? (m_batch.ended || m_batch.sendsLeft <= 0 ? " after its batch ended"
                                                                          : " before the batch's Wait was over")
                              : " (same frame; answer not in, ACK " + std::string(o.acked ? "in" : "not in") +
                                    ", " + std::to_string(o.resends) + " resends, last write at " +
                                    std::to_string(o.lastWriteMs) + ")";
        }
        Fail(1, nowMs, why);
        NewSend(f, nowMs, false);
    }
    if (code == 's' && m_downloading) ++m_blockCopies;
    m_rx = Rx::AwaitAck;
}

void Checker::Received(const std::uint8_t* p, std::size_t n, std::uint64_t nowMs) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = p[i];
        // The line's frames, whatever the console makes of them (rule 8).
        if (m_lineBcc) {
            m_line.push_back(b);
            OnLineFrame(m_line);
            m_lineBcc = m_lineInFrame = false;
        } else if (m_lineInFrame) {
            m_line.push_back(b);
            if (b == proto::ETX) m_lineBcc = true;
            if (m_line.size() > 400) m_lineInFrame = false;  // longer than any answer: not one
        } else if (b == proto::SOH) {
            m_line.assign(1, b);
            m_lineInFrame = true;
        } else if (b == proto::ACK && m_downloading && m_out.active && m_out.code == 's' && m_blockCopies > 0) {
            // The module took a block copy: its answer is owed.  It can take
            // only copies that were written; an ACK beyond them is noise.
            --m_blockCopies;
            ++m_blockOwed;
        }
        // The console ends a block's exchange at a block error that comes
        // before the block's ACK: it waits for no ACK and resends nothing.
        if (!m_downloading || !m_out.active || m_out.code != 's') {
            m_strayIn = false;
        } else if (m_rx == Rx::Idle && b != proto::SOH) {
            m_strayIn = false;
        } else if (m_rx == Rx::AwaitAck && b != proto::ACK && StrayEndsBlock(b)) {
            m_rx = Rx::Idle;
            m_out.awaiting = false;
            m_out.ackGaveUp = true;
            m_batch.ended = true;
            m_downloading = false;
            m_blockOwed = m_blockCopies = 0;
            Trace([&] { return "t=" + std::to_string(nowMs) + " a block error before the block's ACK"; });
            continue;
        }
        switch (m_rx) {
        case Rx::AwaitAck:
            if (b == proto::ACK) {
                m_rx = Rx::Idle;
                OnModuleAck(nowMs);
            }
            break;
        case Rx::Idle:
            if (b == proto::SOH) {
                m_cur.assign(1, b);
                m_rx = Rx::InFrame;
            }
            break;
        case Rx::InFrame:
            m_cur.push_back(b);
            if (b == proto::ETX) m_rx = Rx::AwaitBcc;
            break;
        case Rx::AwaitBcc:
            m_cur.push_back(b);
            m_completed.push_back(std::move(m_cur));
            m_cur.clear();
            m_rx = Rx::Idle;
            break;
        }
    }
}

void Checker::OnModuleAck(std::uint64_t nowMs) {
    Expire(nowMs);
    if (m_out.active && !m_out.ackGaveUp) m_out.acked = true;
}

void Checker::OnAccepted(const std::vector<std::uint8_t>& f, std::uint64_t nowMs) {
    ++m_framesAccepted;
    Expire(nowMs);
    // The code counts only where it stands before the ETX.
    const bool hasCode = f.size() >= 6;
    const std::uint8_t code = hasCode ? f[3] : 0;
    if (hasCode && code == '~') {
        if (m_logPath.empty())
            if (auto path = FindLogFile()) m_logPath = *path;
        if (!m_logPath.empty()) m_logPending += LogBytesOf(f);
    }
    Outstanding& o = m_out;
    if (!(o.awaiting && hasCode && code == o.code)) {
        // An answer of the last counting batch's code that no send waits for (rule 9).
        if (hasCode && code == m_lastBatchCode && m_lastBatchCode != 0) {
            const bool running = !m_batch.ended && m_batch.code == code;
            if (running && o.awaiting)
                m_batch.stopAsked = true;
            else if (running)
                m_batch.ended = true;
            if (!m_batch.uncertainTold) m_batch.uncertainDue = true;
            Trace([&] { return "t=" + std::to_string(nowMs) + " unasked answer of the batch's code " + Describe(f); });
        }
        return;
    }
    if (m_batch.stopAsked) {
        m_batch.stopAsked = false;
        m_batch.ended = true;
    }
    if (code == 'U' && m_fenceFor != 0) {
        m_fenceAnswered = true;
        m_dispenseTimedOut = false;
    }
    o.awaiting = false;
    o.answered = true;
    o.answerMs = nowMs;
    const std::size_t dataEnd = f.size() - 2;  // fields stand before the ETX
    o.error = dataEnd > 4 && f[4] != ' ';
    if (CarriesCounts(code)) {
        for (std::size_t box = 0; box < 4; ++box) {
            const std::size_t pos = 6 + 3 * box;
            if (pos < dataEnd) m_totals.dispensed += f[pos] - 0x20;
            if (pos + 1 < dataEnd) m_totals.rejected += f[pos + 1] - 0x20;
        }
        if (o.error) m_batch.ended = true;  // a device error ends the batch at this answer
    }
    if (m_batch.sendsLeft <= 0) m_batch.ended = true;
    if (code == 's') {
        if (dataEnd > 4 && !o.error) {
            if (++m_blocksAnswered >= kBlocks) m_downloading = false;
        } else {
            m_downloading = false;
        }
    }
    Trace([&] { return "t=" + std::to_string(nowMs) + " the awaited answer " + Describe(f); });
}

bool Checker::AnythingOutstanding() const {
    return (m_out.active && m_out.awaiting) || (!m_batch.ended && m_batch.sendsLeft > 0) || m_downloading;
}

void Checker::StartBatch(int pressId, int page, int repeat, std::uint64_t waitMs) {
    const std::uint8_t code = CodeOf(pressId);
    const bool batch = page == 1 && pressId >= 1001 && pressId <= 1005 && pressId != 1002;
    if (batch) {
        m_totals = {};
        m_batch = {repeat - 1, waitMs, false, code, false, false, false};
        m_lastBatchCode = code;
    } else if (pressId == 1002) {  // PURGE: a batch of one whose counts add to the last
        m_batch = {0, 0, false, code, false, false, false};
        m_lastBatchCode = code;
    } else {
        m_batch = {0, 0, true, 0, false, m_batch.uncertainDue, m_batch.uncertainTold};
    }
}

bool Checker::StrayEndsBlock(std::uint8_t b) {
    if (!m_strayIn) {
        if (b == proto::SOH) {
            m_stray.assign(1, b);
            m_strayIn = true;
        }
        return false;
    }
    m_stray.push_back(b);
    const std::size_t n = m_stray.size();
    const bool ended = n >= 2 && m_stray[n - 2] == proto::ETX &&
                       std::find(m_stray.begin(), m_stray.end(), proto::ETX) == m_stray.end() - 2;
    if (!ended) {
        if (n >= 300) m_strayIn = false;  // as the console gives up on it
        return false;
    }
    m_strayIn = false;
    const std::uint8_t* f = m_stray.data();
    return proto::Xor(f, n) == 0 && proto::ResponseCode(f, n) == 's' && proto::HasErrorByte(n) && f[4] != ' ';
}

void Checker::OnLineFrame(const std::vector<std::uint8_t>& f) {
    if (f.size() >= 6 && f[3] == 's' && proto::Xor(f.data(), f.size()) == 0 && m_blockOwed > 0) --m_blockOwed;
}

void Checker::CheckUncertain(std::uint64_t nowMs) {
    Expire(nowMs);
    const bool over = m_batch.ended || m_batch.code != m_lastBatchCode;
    if (m_batch.uncertainDue && !m_batch.uncertainTold && over && !m_batch.stopAsked) {
        m_batch.uncertainDue = false;
        Fail(9, nowMs, "an answer no send waited for came, and the batch ended without saying its counts are uncertain");
    }
}

void Checker::BatchUncertainTold(std::uint64_t) {
    m_batch.uncertainTold = true;
    m_batch.uncertainDue = false;
}

void Checker::DownloadDoneTold(std::uint64_t nowMs) {
    if (m_blockOwed > 0)
        Fail(8, nowMs, "\"Downloading Done!\" while the module still owed " + std::to_string(m_blockOwed) +
                           " block answer(s)");
    m_autoVerifyAllowed = true;
}

void Checker::ChunkHandled(std::uint64_t nowMs) {
    CheckUncertain(nowMs);
    if (!m_completed.empty()) {
        Fail(0, nowMs, "a frame received was answered with neither ACK nor NAK: " + Describe(m_completed.front()));
        m_completed.clear();
    }
    if (!m_logPending.empty()) CheckLogFile(nowMs);
}

std::uint64_t Checker::BusyDeadline() const {
    if (!m_anySend) return 0;
    std::uint64_t d = m_lastSendMs + kRepeatResponse + (kResends + 1) * kAck;
    if (m_out.answered && !m_batch.ended && m_batch.sendsLeft > 0)
        d = std::max(d, m_out.answerMs + m_batch.waitMs);
    return d;
}

void Checker::Shown(std::uint64_t nowMs, bool busy, const Totals& totals) {
    CheckUncertain(nowMs);
    if (busy && nowMs > BusyDeadline() && m_busyReportedFor != m_lastSendMs) {
        m_busyReportedFor = m_lastSendMs;
        Fail(2, nowMs,
             m_anySend ? "busy " + std::to_string(nowMs - m_lastSendMs) + " ms after the last send (" +
                             Describe(m_out.frame) + ")"
                       : "busy with nothing sent");
    }
    if (!(totals == m_totals)) {
        char b[200];
        std::snprintf(b, sizeof b, "totals shown %ld/%ld/%ld, answers counted give %ld/%ld/%ld", totals.requested,
                      totals.dispensed, totals.rejected, m_totals.requested, m_totals.dispensed,
                      m_totals.rejected);
        Fail(3, nowMs, b);
        m_totals = totals;  // each divergence is reported once
    }
}

void Checker::DownloadDone(std::uint64_t nowMs, const std::vector<std::uint8_t>& flash,
                           const std::vector<std::uint8_t>& image) {
    if (flash == image) return;
    std::size_t first = 0, diff = 0;
    for (std::size_t i = 0; i < std::min(flash.size(), image.size()); ++i)
        if (flash[i] != image[i] && diff++ == 0) first = i;
    Fail(5, nowMs, "\"Downloading Done!\" but the module's flash differs from the image in " + std::to_string(diff) +
                       " bytes, the first at 0x" + [&] {
                           char b[16];
                           std::snprintf(b, sizeof b, "%04zX", first);
                           return std::string(b);
                       }());
}

std::optional<std::string> Checker::FindLogFile() const {
    std::error_code ec;
    const std::filesystem::path dir = m_logFolder.empty() ? std::filesystem::current_path(ec) : std::filesystem::path(m_logFolder);
    std::optional<std::string> found;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        if (!e.is_regular_file(ec) || e.path().extension() != ".txt") continue;
        if (found) return std::nullopt;  // more than one: not ours to choose
        found = e.path().string();
    }
    return found;
}

void Checker::CheckLogFile(std::uint64_t nowMs) {
    if (m_logPath.empty()) return;
    std::ifstream in(m_logPath, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(m_logOffset));
    std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (got != m_logPending) {
        std::size_t same = 0;
        while (same < got.size() && same < m_logPending.size() && got[same] == m_logPending[same]) ++same;
        Fail(4, nowMs,
             "the log file holds " + std::to_string(got.size()) + " new bytes where " +
                 std::to_string(m_logPending.size()) + " were due; they agree for the first " + std::to_string(same));
    }
    m_logOffset += got.size();
    m_logPending.clear();
}

// ---- the watch ----------------------------------------------------------------------

void ConsoleWatch::Look() { m_checker.Shown(m_host.Now(), Busy(), ShownTotals(m_host)); }

void ConsoleWatch::Written(const std::uint8_t* p, std::size_t n, const ev::TxNote&) {
    m_checker.Written(p, n, m_host.Now());
    m_bytesWritten += n;
}

void ConsoleWatch::ChunkBegin(const std::uint8_t* p, std::size_t n) {
    m_checker.EndPress();  // bytes are handed over between presses, never inside one
    m_checker.Received(p, n, m_host.Now());
    m_bytesReceived += n;
}

void ConsoleWatch::ChunkEnd() { m_checker.ChunkHandled(m_host.Now()); }

void ConsoleWatch::Pressed(const ev::Press& press) {
    if (press.type == 0) return;  // OPEN and the like send no frame
    m_checker.BeginPress(press.id, m_host.GetCurSel(ids::kTab), m_host.GetControlText(ids::kRepeat),
                         m_host.GetControlText(ids::kWait), m_host.Now());
}

void ConsoleWatch::Refused(const ev::Press&, ev::Refusal, std::string_view) { m_checker.EndPress(); }

void ConsoleWatch::Noticed(const ev::Notice& notice) {
    if (notice.kind == ev::NoticeKind::DownloadDone) {
        m_checker.DownloadDoneTold(m_host.Now());
        if (m_onDownloadDone) m_onDownloadDone(m_host.Now());
    } else if (notice.kind == ev::NoticeKind::BatchUncertain) {
        m_checker.BatchUncertainTold(m_host.Now());
    }
}

void ConsoleWatch::Idle(bool idle) {
    m_idle = idle;
    m_checker.EndPress();
    Look();
}

}  // namespace inv
