// Command execution and repeat batches.
//
// One command is outstanding at a time: m_bBusy is set by every send and
// cleared when the answer that ends its batch has been decoded (or when the
// link gives up).  On the DISPENSE page a command (but PURGE) runs as a batch:
// the stored frame is sent Repeat times, with Wait seconds between the decoding
// of one answer and the next send.  Every other command is a batch of one.
//
// Rules kept here:
//   - Only an answer to an outstanding send takes part in the batch logic.
//     m_bAnswerAwaited is set by each send that expects a counted answer and
//     cleared by the first counted answer, by the time-outs and by the end of a
//     batch.  A counted answer that meets no outstanding send (late after a
//     time-out, a second frame for one command, a frame before any command, a
//     frame during the wait between two sends) is decoded and shown, but never
//     counts down, never arms the repeat timer and so never causes a send.
//   - An answer whose code is neither counted nor 'w', 'r', 'D' while an answer
//     is awaited leaves the console waiting for the real answer; the response
//     timer is armed again so that the wait ends with "!!! Error Response
//     Timeout" if the real answer never comes.
//   - Go Loader and Reset leave the console idle after their send; their ACK
//     clears the busy flag too, so a resend after a missing ACK (which sets the
//     flag again) does not leave the console busy for good.
//   - A firmware block write is always a batch of one, whatever page is shown,
//     so the repeat timer can never resend a stale block.
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

inline constexpr int kTypePurge = 2;
inline constexpr int kTypeBlockWrite = 21;
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
    if (m_bBusy) return;  // one command at a time; a press while busy is ignored
    SendCommand(nId - 1000);
}

void CConsoleDlg::BatchSetup(int nType) {
    if (m_nTab == kPageDispense && nType != kTypePurge && nType != kTypeBlockWrite) {
        m_nRepeatLeft = ParseClamped(Text(ids::kRepeat), kRepeatMax);
        m_nRepeat = m_nRepeatLeft;
        m_nWaitSec = ParseClamped(Text(ids::kWait), kWaitMaxSec);
        m_nTotalRejected = 0;
        m_nTotalDispensed = 0;
        m_nTotalRequested = 0;
        std::fill(std::begin(m_nReasonSum), std::end(m_nReasonSum), 0);
        for (int* a : {m_nRejSum, m_nDispSum, m_nRequest, m_nRejected, m_nDispensed})
            std::fill(a, a + 4, 0);
    } else {
        m_nRepeatLeft = 1;
    }
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
}

std::intptr_t CConsoleDlg::OnFrameReady() {
    DecodeResponse();  // any device-error box has been closed when it returns

    const bool bHasCode = m_strRxFrame.size() > 3;
    const auto code = bHasCode ? static_cast<std::uint8_t>(m_strRxFrame[3]) : std::uint8_t{0};
    if (bHasCode && code == kDumpCode) return 1;

    if (bHasCode && IsCounted(code)) {
        // Only the answer to an outstanding send counts; anything else was
        // decoded and shown, and that is all.
        if (m_bAnswerAwaited) {
            m_bAnswerAwaited = false;
            --m_nRepeatLeft;
            if (m_nRepeatLeft <= 0) {
                m_host.KillTimer(kTimerRepeat);
                m_bBusy = 0;
                m_nRepeatLeft = m_nRepeat;
                EnableRule();
            } else {
                m_host.SetTimer(kTimerRepeat, static_cast<unsigned>(m_nWaitSec) * 1000U);
            }
        }
    } else if (m_bAnswerAwaited && !(bHasCode && (code == kLoaderCode || code == kResetCode))) {
        // Not the answer to the command sent.  The receiver stopped the
        // response timer on accepting it: start it again, so that the wait for
        // the real answer stays bounded.
        m_host.SetTimer(kTimerResponse, kResponseFirstMs);
    }
    CounterRefresh();
    return 1;
}

void CConsoleDlg::OnRepeatTimer() {
    m_host.KillTimer(kTimerRepeat);
    if (m_nRepeatLeft <= 0) return;  // no batch is running (a time-out ended it)
    m_bBusy = 1;
    EnableRule();
    ResendStored();  // the stored frame, not rebuilt: the Request fields are not read again
    m_host.SetTimer(kTimerResponse, kResponseRepeatMs);
    if (IsDispenseCode(m_nCmdCode))
        m_nTotalRequested += m_nRequest[0] + m_nRequest[1] + m_nRequest[2] + m_nRequest[3];
    CounterRefresh();
    m_host.SetTimer(kTimerAck, kAckMs);
    m_nRxState = proto::kRxAwaitAck;
    m_bAnswerAwaited = true;
}

void CConsoleDlg::OnAckReceived() {
    // Go Loader and Reset leave the console idle, also when their frame had
    // to be resent (the resend set the busy flag again).
    if (m_nLastType == 20 || m_nLastType == 23 || m_nCmdCode == kLoaderCode ||
        m_nCmdCode == kResetCode) {
        m_bBusy = 0;
        EnableRule();
    }
}
