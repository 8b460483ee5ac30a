// Command execution and repeat batches.
//
// One command is outstanding at a time: m_bBusy is set by every send and
// cleared when the answer that ends its batch has been decoded (or when the
// link gives up).  On the DISPENSE page a command (but PURGE) runs as a batch:
// the stored frame is sent Repeat times, with Wait seconds between the decoding
// of one answer and the next send.  Every other command is a batch of one.
//
// Rules kept here:
//   - The awaited answer is the frame that carries the code of the command
//     sent (for the TEST page's 'q', also its sub-command), arriving while that command waits for its answer (m_bAnswerAwaited:
//     set by each send that expects an answer, cleared by that answer, by the
//     time-outs and never set for Go Loader and Reset).  Only the awaited answer
//     stops the response timer and takes part in the batch logic.
//   - Every other accepted frame (an unasked dump, a late answer after a
//     time-out, a second frame for one command, an answer with another code,
//     a frame too short to hold a code) is decoded and shown, and answers
//     nothing: it never counts down, never arms or moves a timer, never adds
//     to the batch counters and so never causes a send.
//   - Go Loader and Reset leave the console idle after their send; their ACK
//     clears the busy flag too, so a resend after a missing ACK (which sets the
//     flag again) does not leave the console busy for good.
//   - A firmware block write is always a batch of one, whatever page is shown,
//     so the repeat timer can never resend a stale block.
//   - While a download runs, no button sends: between two blocks the busy flag
//     is clear, but the next block is already on its way.
#include "commands/CommandType.h"
#include "console/ConsoleDlg.h"
#include "link/LinkFrame.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace {

// Command codes whose answer counts as the answer to a send of the batch.
inline constexpr std::array<std::uint8_t, 18> kCountedCodes{
    'P', 'Q', 'R', 'S', 'U', 'X', 'Z', '[', '\\', ']', '^', '_', 'p', 'q', 's', 't', 'u', '~'};

inline constexpr std::uint8_t kDumpCode = 'w';    // sent unasked by the module
inline constexpr std::uint8_t kLoaderCode = 'r';  // Go Loader's answer
inline constexpr std::uint8_t kResetCode = 'D';   // Reset's answer
inline constexpr std::uint8_t kTestCode = 'q';    // DIVERT, CLUTCH, BLDC, RVDT, RomVer
// The sub-command's place in an answer; in the host frame it stands one before.
inline constexpr std::size_t kSubPos = 5;

inline constexpr int kPageDispense = 1;

inline constexpr long kRepeatMax = 2000;
inline constexpr long kWaitMaxSec = 600;

// Per-box and per-reason edits of the DISPENSE page that a send resets to "0":
// last answer's dispensed and rejected counts, reason sums, rejected sums.
struct IdRange {  // first id, last id (inclusive)
    int first;
    int last;
};
inline constexpr std::array<IdRange, 3> kZeroedOnSend{{{1057, 1064}, {1132, 1138}, {1143, 1146}}};

constexpr bool IsCounted(std::uint8_t code) {
    return std::find(kCountedCodes.begin(), kCountedCodes.end(), code) != kCountedCodes.end();
}
static_assert(IsCounted('\\') && IsCounted('~') && !IsCounted('w') && !IsCounted('r') &&
              !IsCounted('D'));

// Frames that ask for notes: their requests add to the batch's total.
constexpr bool IsDispenseCode(int code) { return code == 'R' || code == 'S' || code == 'p'; }

// A field read as a decimal number by the rules of strtol; outside 1..hi: 1.
int ParseClamped(const std::string& text, long hi) {
    const long v = std::strtol(text.c_str(), nullptr, 10);
    return (v < 1 || v > hi) ? 1 : static_cast<int>(v);
}

}  // namespace

void CConsoleDlg::OnCommandButton(int nId) {
    if (nId < 1001 || nId > 1018) return;
    if (IsBusy()) {  // one command at a time; a press while busy is ignored
        Refuse(ev::Refusal::Busy);
        return;
    }
    if (PressNeedsFence(nId - 1000)) return;
    SendCommand(nId - 1000);
}

void CConsoleDlg::BatchSetup(int nType) {
    m_bStopBatch = false;
    if (!BeginBatchWatch(nType, m_nTab == kPageDispense)) {
        m_nRepeatLeft = 1;
        m_nBatchRuns = 0;
        m_nBatchAnswers = 0;
        return;
    }
    if (m_nTab == kPageDispense && nType != cmd::kPurge && nType != cmd::kWriteBlock) {
        StartCountedBatch(ParseClamped(Text(ids::kRepeat), kRepeatMax), ParseClamped(Text(ids::kWait), kWaitMaxSec));
    } else {
        m_nRepeatLeft = 1;
        m_nBatchRuns = 0;
        m_nBatchAnswers = 0;
    }
}

void CConsoleDlg::StartCountedBatch(int nRuns, int nWaitSec) {
    m_nRepeatLeft = nRuns;
    m_nRepeat = m_nRepeatLeft;
    m_nBatchRuns = m_nRepeat;
    m_nBatchAnswers = 0;
    m_nWaitSec = nWaitSec;
    m_nTotalRejected = 0;
    m_nTotalDispensed = 0;
    m_nTotalRequested = 0;
    std::fill(std::begin(m_nReasonSum), std::end(m_nReasonSum), 0);
    for (int* a : {m_nRejSum, m_nDispSum, m_nRequest, m_nRejected, m_nDispensed})
        std::fill(a, a + 4, 0);
}

void CConsoleDlg::SendBookkeeping() {
    if (IsDispenseCode(m_nCmdCode))
        m_nTotalRequested += m_nRequest[0] + m_nRequest[1] + m_nRequest[2] + m_nRequest[3];
    CounterRefresh();
    UpdateData(true);
    for (const IdRange& r : kZeroedOnSend)
        for (int id = r.first; id <= r.last; ++id) Text(id).assign(1, '0');
    UpdateData(false);
    // Go Loader and Reset leave the console idle right after their send; their
    // answers are not counted, so no answer of the batch logic is awaited.
    m_bAnswerAwaited = !(m_nCmdCode == kLoaderCode || m_nCmdCode == kResetCode);
    m_nReplyCode = m_bAnswerAwaited ? 0 : m_nCmdCode;
}

bool CConsoleDlg::IsAwaitedAnswer() const {
    const auto* f = reinterpret_cast<const std::uint8_t*>(m_strRxFrame.data());
    const std::size_t n = m_strRxFrame.size();
    const int code = proto::ResponseCode(f, n);
    if (!m_bAnswerAwaited || code != m_nCmdCode || code == proto::kNoCode ||
        !IsCounted(static_cast<std::uint8_t>(code)))
        return false;
    // The TEST page's commands share one code: an answer names its
    // sub-command at position 5, and one that names another is not this
    // command's answer.  A frame that ends before it cannot say and is taken.
    if (code == kTestCode && m_nTxLen > static_cast<int>(kSubPos - 1) && n >= kSubPos + 3)
        return f[kSubPos] == m_TxFrame[kSubPos - 1];
    return true;
}

std::intptr_t CConsoleDlg::OnFrameReady() {
    const int code = proto::ResponseCode(reinterpret_cast<const std::uint8_t*>(m_strRxFrame.data()),
                                         m_strRxFrame.size());
    const bool bAnswer = IsAwaitedAnswer();
    if (bAnswer) {
        // The wait is over before the decoder runs (a device-error box it opens
        // lets timers fire); the receiver has stopped the response timer.
        StopWait(kTimerResponse);
        m_bAnswerAwaited = false;
    }
    DecodeResponse(bAnswer);  // any device-error box has been closed when it returns
    if (code == kDumpCode) return 1;
    if (!bAnswer) OnUnaskedAnswer(code);

    if (bAnswer) {
        if (m_nBatchRuns > 0) ++m_nBatchAnswers;
        --m_nRepeatLeft;
        if (BatchStopsHere() || m_nRepeatLeft <= 0) {
            StopWait(kTimerRepeat);
            m_bBusy = 0;
            m_nRepeatLeft = m_nRepeat;
            EnableRule();
        } else {
            StartWait(kTimerRepeat, static_cast<unsigned>(m_nWaitSec) * 1000U);
        }
    }
    CounterRefresh();
    return 1;
}

void CConsoleDlg::OnRepeatTimer() {
    StopWait(kTimerRepeat);
    if (m_nRepeatLeft <= 0) return;  // no batch is running (a time-out ended it)
    if (m_bStopBatch) {  // stopped after the last exchange: the batch ends here
        m_bBusy = 0;
        m_nRepeatLeft = m_nRepeat;
        EnableRule();
        return;
    }
    m_bBusy = 1;
    EnableRule();
    DropFrameUnderWay();
    ResendStored(ev::TxKind::RepeatSend);  // the stored frame, not rebuilt: the Request fields are not read again
    StartWait(kTimerResponse, kResponseRepeatMs);
    if (IsDispenseCode(m_nCmdCode))
        m_nTotalRequested += m_nRequest[0] + m_nRequest[1] + m_nRequest[2] + m_nRequest[3];
    CounterRefresh();
    StartWait(kTimerAck, kAckMs);
    AwaitAck();
    m_bAnswerAwaited = true;
}

void CConsoleDlg::StopBatch() {
    const bool running = BatchStoppable();
    m_bStopBatch = true;
    if (!running) return;
    ev::Notice n;
    n.kind = ev::NoticeKind::BatchStopped;
    Notify(n);
    // Between an answer and the next send: nothing is under way, the batch ends now.
    if (m_bBusy && !m_bDownloading && !m_bAnswerAwaited && !m_bAckAwaited && m_nRepeatLeft > 0) {
        KillTimer(kTimerRepeat);
        m_bBusy = 0;
        m_nRepeatLeft = m_nRepeat;
        CounterRefresh();
    }
    EnableRule();
    TellIdleChange();
}

void CConsoleDlg::OnAckReceived() {
    m_bStrayInFrame = false;  // a frame begun before the ACK was dropped with it
    // Go Loader and Reset leave the console idle, also when their frame had
    // to be resent (the resend set the busy flag again).
    if (m_nLastType == cmd::kGoLoader || m_nLastType == cmd::kReset || m_nCmdCode == kLoaderCode ||
        m_nCmdCode == kResetCode) {
        m_bBusy = 0;
        EnableRule();
    }
}
