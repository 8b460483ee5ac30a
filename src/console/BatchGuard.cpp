// Late and duplicated answers in batches.
//
// The protocol cannot tell an answer from a late or duplicated one of the
// same code: a late answer taken for the next send's lets the batch send again
// while the module has not answered, and its counts go into the wrong run.
// The rules kept here:
//   - An answer of the batch's code that no send waits for is evidence of
//     such confusion.  During a batch it ends the batch after the exchange
//     under way (at once when the batch waits for its repeat timer); after a
//     batch it marks the last batch's counts uncertain.  Either way the
//     console says so, once per batch: in the receive text, in a box and to
//     its subscribers (NoticeKind::BatchUncertain).
//   - After a time-out on a dispense-type command (its answer may still
//     come), the next dispense-type press first sends LAST STAT.  The module
//     answers in order, so LAST STAT's answer comes after any answer still
//     due; the press is sent once LAST STAT has answered, and LAST STAT's
//     answer shows what the module last dispensed.  LAST STAT asked this way
//     is a send of its own: it sets up no batch and zeroes no counter.
//   - An answer decoded after the window was closed ends its batch: no
//     repeat timer starts.
#include "commands/CommandType.h"
#include "console/ConsoleDlg.h"

namespace {

constexpr const char* kStoppedText =
    "An answer came that no send was waiting for; the batch stopped; its counts may be off by one: "
    "check LAST STAT";
constexpr const char* kAfterText =
    "An answer came that no send was waiting for; the last batch's counts may be off by one: check LAST STAT";

// The code a batch of this type counts: the DISPENSE page's batches and
// PURGE, whose counts add to the batch's; 0 for every other type.
int CountedCodeOf(int nType) {
    switch (nType) {
    case cmd::kDispense: return 'R';
    case cmd::kPurge: return 'Q';
    case cmd::kTestDisp: return 'S';
    case cmd::kLastStat: return 'U';
    case cmd::kZigzag: return 'p';
    default: return 0;
    }
}

}  // namespace

bool CConsoleDlg::BeginBatchWatch(int nType, bool bDispensePage) {
    m_bBatchStopAsked = false;
    if (m_nFenceFor != 0 && nType == cmd::kLastStat) return false;
    // A new batch of counts: on the DISPENSE page, or PURGE (which adds to them).
    const bool bCounts = nType == cmd::kPurge || (bDispensePage && CountedCodeOf(nType) != 0);
    if (bCounts) {
        m_nBatchCode = CountedCodeOf(nType);
        m_bBatchUncertain = false;
    }
    return true;
}

bool CConsoleDlg::PressNeedsFence(int nType) {
    if (!cmd::IsDispenseType(nType) || !m_bDispenseTimedOut) return false;
    m_nFenceFor = nType;
    m_handFence.clear();  // a frame by hand held before is dropped; its press puts its own back
    // The answer's counter refresh writes the Repeat field: the press keeps
    // the fields as the operator left them.
    m_strFenceRepeat = m_host.GetControlText(ids::kRepeat);
    m_strFenceWait = m_host.GetControlText(ids::kWait);
    AppendRecvLine("The last dispense got no answer in time: LAST STAT first.");
    SendCommand(cmd::kLastStat);
    if (!m_bBusy) m_nFenceFor = 0;  // nothing went out
    return true;
}

std::intptr_t CConsoleDlg::OnPendingPress() {
    const int nType = m_nFenceFor;
    m_nFenceFor = 0;
    // Another press that came first wins; the held one is dropped.
    std::vector<std::uint8_t> hand;
    hand.swap(m_handFence);
    if (nType == 0 || IsBusy()) return 0;
    if (!hand.empty()) {
        SendHandBody(hand);
        return 0;
    }
    m_host.SetControlText(ids::kRepeat, m_strFenceRepeat);
    m_host.SetControlText(ids::kWait, m_strFenceWait);
    SendCommand(nType);
    return 0;
}

void CConsoleDlg::BatchGaveUp() {
    if (m_bAnswerAwaited && cmd::IsDispenseType(m_nLastType)) m_bDispenseTimedOut = true;
    m_nFenceFor = 0;  // LAST STAT got no answer: the held press is dropped
    if (m_bBatchStopAsked) {
        m_bBatchStopAsked = false;
        TellBatchUncertain(true);
    }
}

void CConsoleDlg::OnUnaskedAnswer(int code) {
    if (m_nBatchCode == 0 || code != m_nBatchCode) return;
    const bool bRunning = m_bBusy && m_nCmdCode == m_nBatchCode && m_nRepeatLeft > 0 && m_nFenceFor == 0;
    if (!bRunning) {
        TellBatchUncertain(false);
        return;
    }
    if (m_bAnswerAwaited) {
        m_bBatchStopAsked = true;  // ends at the answer the send under way waits for
        return;
    }
    // Between an answer and the next send: the batch ends now.
    StopWait(kTimerRepeat);
    m_bBusy = 0;
    m_nRepeatLeft = m_nRepeat;
    EnableRule();
    TellBatchUncertain(true);
}

bool CConsoleDlg::BatchStopsHere() {
    if (m_nFenceFor != 0 && m_nCmdCode == 'U') {
        // LAST STAT asked first has answered: the line is settled.
        m_bDispenseTimedOut = false;
        m_host.PostMessage(WM_PENDING_PRESS, 0, 0);
        return true;
    }
    if (m_bBatchStopAsked) {
        m_bBatchStopAsked = false;
        TellBatchUncertain(true);
        return true;
    }
    // STOP: the answer of the exchange under way was the last.
    return m_bClosing || m_bStopBatch;
}

void CConsoleDlg::TellBatchUncertain(bool bStopped) {
    if (m_bBatchUncertain) return;
    m_bBatchUncertain = true;
    const char* text = bStopped ? kStoppedText : kAfterText;
    ev::Notice n;
    n.kind = ev::NoticeKind::BatchUncertain;
    n.text = text;
    Notify(n);
    AppendRecvLine(std::string(text) + ".");
    UpdateData(false);
    MessageBox(text, m_host.AppTitle(), fw::MsgIcon::Warning);
}
