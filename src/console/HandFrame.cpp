// Frames built by hand in the frame tool: a press like a command button's,
// sent through the same link, with the same busy rule and the same counting.
// The body comes whole from the tool; nothing here reads the pages' fields.
#include "commands/Catalogue.h"
#include "commands/CommandType.h"
#include "console/ConsoleDlg.h"
#include "console/HandFrameLink.h"
#include "link/LinkFrame.h"

#include <algorithm>

namespace {
constexpr const char* kBusyText = "busy: a command is outstanding or a download runs";
constexpr const char* kBoxText = "busy: a message box of the console is open";
constexpr const char* kFenceText = "the last dispense got no answer in time: LAST STAT goes first, then this frame";
}  // namespace

std::vector<std::uint8_t> CConsoleDlg::HandFrameBytes(std::span<const std::uint8_t> body) {
    constexpr std::size_t head = std::size(proto::kHostHead);
    std::vector<std::uint8_t> f(head + body.size() + 2);  // and room for the ETX and the BCC
    for (std::size_t i = 0; i < head; ++i) f[i] = proto::kHostHead[i];
    std::copy(body.begin(), body.end(), f.begin() + static_cast<std::ptrdiff_t>(head));
    proto::CloseHostFrame(f.data(), head + body.size());
    return f;
}

CConsoleDlg::HandResult CConsoleDlg::PressHandFrame(std::span<const std::uint8_t> body) {
    const int nType = TypeOfBody(body);
    const ev::Press outer = m_press;
    m_press = {ids::kHandFrame, nType};
    if (nType != cmd::kNone) m_bVerifyMayFollow = false;  // as a command button's press
    Tell([&](ev::ConsoleObserver& o) { o.Pressed(m_press); });
    HandResult r;
    const std::string problem = HandBodyProblem(body);
    if (!problem.empty()) {
        Refuse(ev::Refusal::BadValues, problem);
        r.reason = problem;
    } else if (IsBusy() || m_nKept > 0) {
        Refuse(ev::Refusal::Busy);
        r.reason = kBusyText;
    } else if (IsBoxOpen()) {
        // The tool stays usable beside a box of the console; the pages do
        // not, and nothing is sent while one is open.
        Refuse(ev::Refusal::Busy);
        r.reason = kBoxText;
    } else if (PressNeedsFence(nType)) {
        r.sent = m_nFenceFor != 0;
        if (r.sent) {
            m_handFence.assign(body.begin(), body.end());
            r.reason = kFenceText;
        } else {
            r.reason = "LAST STAT, which goes first after a dispense without answer, could not be sent";
        }
    } else {
        SendHandBody(body);
        r.sent = true;
    }
    m_press = outer;
    TellIdleChange();
    return r;
}

void CConsoleDlg::HandBatchSetup(int nType) {
    m_bStopBatch = false;
    const bool bDispense = cmd::IsDispenseType(nType);
    // A dispense-type frame counts as its page's button with Repeat 1.
    if (BeginBatchWatch(nType, bDispense) && bDispense) {
        StartCountedBatch(1, m_nWaitSec);
        return;
    }
    m_nRepeatLeft = 1;
    m_nBatchRuns = 0;
    m_nBatchAnswers = 0;
}

void CConsoleDlg::SendHandBody(std::span<const std::uint8_t> body) {
    if (!HandBodyProblem(body).empty()) return;
    const int nType = TypeOfBody(body);
    UpdateData(true);
    UpdateData(false);
    HandBatchSetup(nType);
    const ev::FrameNote note = NoteOfBody(body);
    if (note.kind == ev::NoteKind::Counts && cmd::IsDispenseType(nType))
        for (int box = 0; box < 4; ++box)
            m_nRequest[box] = box < note.count ? std::clamp(note.values[box], 0, 100) : 0;
    std::copy(std::begin(proto::kHostHead), std::end(proto::kHostHead), m_TxFrame);
    std::copy(body.begin(), body.end(), m_TxFrame + std::size(proto::kHostHead));
    m_nTxLen = static_cast<int>(std::size(proto::kHostHead) + body.size());
    m_nCmdCode = body[0];
    m_nLastType = nType;
    m_TxNote = note;
    CloseAndSend(nType);
}

// ---- the frame tool's link ------------------------------------------------------

std::vector<std::uint8_t> DialogHandLink::FrameOf(std::span<const std::uint8_t> body) const {
    return CConsoleDlg::HandFrameBytes(body);
}

HandFrameLink::Result DialogHandLink::Send(std::span<const std::uint8_t> body) {
    const CConsoleDlg::HandResult r = m_dlg.PressHandFrame(body);
    return {r.sent, r.reason};
}

bool DialogHandLink::Listen(ev::ConsoleObserver* o) { return m_dlg.Subscribe(o); }
void DialogHandLink::Unlisten(ev::ConsoleObserver* o) { m_dlg.Unsubscribe(o); }
