// The response decoder: turns an accepted response frame into the console's
// texts, check boxes and counters, reports device errors, and hands the
// loader's and the log's answers to their own handlers.
//
// What each field shows comes from the table of decoded fields
// (commands/AnswerFields.h) through DecodeAnswer; the decoder writes those
// values into the bound members, and tells the same values to the console's
// subscribers (Answered) before any device error box of the answer opens.
//
// Fields are read only where the frame holds them: the data end before the
// ETX and BCC, and a field whose bytes are missing leaves its value as it was,
// so a short frame is never read past its end.  A frame too short to hold a
// code before its ETX is dispatched nowhere.
//
// A frame that is not the awaited answer to the command sent is decoded and
// shown, but changes no counter, no batch and no download: an unasked
// dispense, block or verify answer is noted in the receive text instead.
#include "commands/AnswerFields.h"
#include "commands/CommandType.h"
#include "console/ConsoleDlg.h"
#include "link/LinkFrame.h"

#include <algorithm>
#include <cstdio>

namespace {

inline constexpr std::uint8_t kNoError = ' ';

std::string Dec(int v) { return std::to_string(v); }

// Read-only view of the data part of a frame: positions before the ETX/BCC.
class Frame {
public:
    Frame(const std::string& s) : m_p(reinterpret_cast<const std::uint8_t*>(s.data())), m_n(s.size()) {}
    std::size_t DataEnd() const { return m_n >= 2 ? m_n - 2 : 0; }
    bool Has(std::size_t pos, std::size_t count = 1) const { return pos + count <= DataEnd(); }
    int At(std::size_t pos) const { return m_p[pos]; }
    int Count(std::size_t pos) const { return At(pos) - 32; }
    std::span<const std::uint8_t> Bytes() const { return {m_p, m_n}; }

private:
    const std::uint8_t* m_p;
    std::size_t m_n;
};

// The codes whose answer is checked for a device error (by the decoder, or
// by the loader's handlers for 's' and 't').
constexpr bool ChecksError(int code) {
    switch (code) {
    case 'P':
    case 'Q':
    case 'R':
    case 'S':
    case 'p':
    case 'U':
    case 'X':
    case 'q':
    case 's':
    case 't': return true;
    default: return false;
    }
}

constexpr bool IsCountType(int code) { return code == 'R' || code == 'S' || code == 'p' || code == 'Q'; }

// "Unasked 'R' answer: dispensed 3 0 0 0, rejected 1 0 0 0" (a count the
// frame does not hold shows as '-').
std::string UnaskedDispenseLine(const Frame& f, int code) {
    std::string line = "Unasked '" + std::string(1, static_cast<char>(code)) + "' answer: dispensed";
    for (int k = 0; k < 2; ++k) {
        if (k == 1) line += ", rejected";
        for (int box = 0; box < 4; ++box) {
            const std::size_t pos = 6 + 3 * static_cast<std::size_t>(box) + static_cast<std::size_t>(k);
            line += ' ';
            line += f.Has(pos) ? Dec(f.Count(pos)) : "-";
        }
    }
    return line + "\r\n";
}

// This answer's own counts, as the frame holds them.
void FrameCounts(const Frame& f, int code, ev::DispenseCounts& c) {
    for (std::size_t box = 0; box < 4; ++box) {
        const std::size_t pos = 6 + 3 * box;
        if (f.Has(pos)) c.dispensed[box] = f.Count(pos);
        if (f.Has(pos + 1)) c.rejected[box] = f.Count(pos + 1);
        c.has[box] = f.Has(pos, 2);
    }
    if (code == 'Q') return;  // PURGE carries no reasons
    for (std::size_t k = 0; k < 7; ++k)
        if (f.Has(18 + k)) c.reasons[k] = f.Count(18 + k);
}

}  // namespace

BatchCounters CConsoleDlg::Counters() const {
    BatchCounters c;
    std::copy_n(m_nRequest, 4, c.request);
    std::copy_n(m_nDispensed, 4, c.dispensed);
    std::copy_n(m_nRejected, 4, c.rejected);
    std::copy_n(m_nDispSum, 4, c.dispSum);
    std::copy_n(m_nRejSum, 4, c.rejSum);
    std::copy_n(m_nReasonSum, 7, c.reasonSum);
    c.totalRequested = m_nTotalRequested;
    c.totalDispensed = m_nTotalDispensed;
    c.totalRejected = m_nTotalRejected;
    return c;
}

void CConsoleDlg::TellAnswered(const DecodedAnswer& d, bool bAnswer, int nError) {
    const Frame f(m_strRxFrame);
    ev::Answer a;
    a.code = d.code;
    a.sub = (m_nCmdCode == 'q' && m_nTxLen > 4) ? m_TxFrame[4] : 0;
    a.type = bAnswer ? m_nLastType : cmd::kNone;
    a.awaited = bAnswer;
    a.error = nError;
    a.complete = d.complete;
    BatchPosition(bAnswer, a.index, a.of);
    std::array<ev::FieldValue, kMaxAnswerRows> fields;
    for (std::size_t r = 0; r < d.rows.size(); ++r) {
        fields[r].row = &d.rows[r];
        for (std::size_t i = 0; i < static_cast<std::size_t>(d.rows[r].count); ++i)
            fields[r].v[i] = d.values[r][i].View();
    }
    a.fields = std::span<const ev::FieldValue>(fields.data(), d.rows.size());
    ev::DispenseCounts counts;
    if (IsCountType(d.code)) {
        if (bAnswer && d.code != 'Q') std::copy_n(m_nRequest, 4, counts.requested);
        FrameCounts(f, d.code, counts);
        a.counts = &counts;
    }
    a.frame = f.Bytes();
    Tell([&](ev::ConsoleObserver& o) { o.Answered(a); });
}

void CConsoleDlg::WriteFields(const DecodedAnswer& d) {
    for (std::size_t r = 0; r < d.rows.size(); ++r) {
        const AnswerField& row = d.rows[r];
        if (!DecoderWrites(row)) continue;
        for (std::size_t i = 0; i < static_cast<std::size_t>(row.count); ++i) {
            const ShownValue& v = d.values[r][i];
            if (!v.written) continue;
            if (row.kind == FieldKind::Flag)
                Check(row.ids[i]) = v.View() == "1";
            else
                Text(row.ids[i]).assign(v.View());
        }
    }
}

void CConsoleDlg::DecodeResponse(bool bAnswer) {
    UpdateData(true);
    const Frame f(m_strRxFrame);
    const int code = proto::ResponseCode(f.Bytes().data(), f.Bytes().size());
    const bool bError = ChecksError(code) && f.Has(4) && f.At(4) != kNoError;
    DecodedAnswer d;
    DecodeAnswer(f.Bytes(), bAnswer, Counters(), d);
    if (HasObservers()) TellAnswered(d, bAnswer, bError ? ((f.At(4) - 0x20) & 0xFF) : -1);
    if (code == proto::kNoCode) {
        UpdateData(false);
        return;
    }
    // The error check of the rows that ask for one; false when there is no
    // error byte or it is ' '.  The box's nested loop runs timers, so what
    // the answer writes is decoded again from the counters as they are after it.
    auto errorCheck = [&]() {
        if (!bError) return false;
        ShowDeviceError(static_cast<std::uint8_t>(f.At(4) - 0x20));
        DecodeAnswer(f.Bytes(), bAnswer, Counters(), d);
        return true;
    };

    switch (code) {
    case 'D':
    case 'Z':
    case '\\':
    case '^':
        break;
    case 'P':
    case 'U':  // the error byte stands at position 4 as in every other answer
    case 'X':
    case 'q':  // by the sub-code at position 5; DIVERT and CLUTCH show nothing more
        errorCheck();
        WriteFields(d);
        break;
    case 'Q':
    case 'R':
    case 'S':
    case 'p': {
        errorCheck();
        if (!bAnswer) {
            AppendRecvLine(UnaskedDispenseLine(f, code));
            break;
        }
        if (bError) {
            m_nRepeatLeft = 1;
            m_nRepeat = 1;
        }
        const BatchCounters& c = d.after;
        std::copy_n(c.dispensed, 4, m_nDispensed);
        std::copy_n(c.rejected, 4, m_nRejected);
        std::copy_n(c.dispSum, 4, m_nDispSum);
        std::copy_n(c.rejSum, 4, m_nRejSum);
        std::copy_n(c.reasonSum, 7, m_nReasonSum);  // PURGE leaves them as they were
        m_nTotalDispensed = c.totalDispensed;
        m_nTotalRejected = c.totalRejected;
        WriteFields(d);  // PURGE: no per-box texts
        break;
    }
    case '[':
    case '_':
    case ']':
        WriteFields(d);
        break;
    case 'r': OnLoaderAnswer(); break;
    case 's': OnBlockWritten(bAnswer); break;  // the whole 's' row, error check included
    case 't': OnVerifyAnswer(bAnswer); break;  // the whole 't' row, error check included
    case 'w': {
        std::string line;
        char buf[16];
        for (std::size_t pos = 4; pos <= 35 && f.Has(pos); ++pos) {
            std::snprintf(buf, sizeof buf, "%X ", static_cast<unsigned>(f.At(pos) - 32));
            line += buf;
        }
        line += "\r\n";
        AppendRecv(line);
        break;
    }
    case '~': WriteLogFrame(f.Bytes().data(), f.Bytes().size()); break;
    default: AppendRecv(" Undefined Command "); break;
    }
    UpdateData(false);
    // Keep the newest receive text in view, once the control holds it.
    m_host.ScrollToEnd(ids::kRecv);
}
