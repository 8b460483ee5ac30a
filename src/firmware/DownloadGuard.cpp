// The download's answer guard: a block is sent only after the module answered
// the block before it, and "Downloading Done!" only after it answered the
// last.
//
// The protocol carries no sequence numbers, so an 's' answer cannot say which
// block it answers.  The module answers every copy of a block it received;
// after a resend whose first copy did arrive it answers twice, and a block
// answer overdue after a time-out may still come.  Taken for the answer to
// the block sent next, such an answer would let the console run a block
// ahead of the module and say "Downloading Done!" before the module answered
// the last block.
//
// So, once anything makes a stray 's' answer possible (a resend of a block, a
// time-out while a block waited, a second ACK, an 's' frame that answered no
// block, a frame dropped while a block waited for its ACK), the answer taken
// next does not move the download on at once: the next block, or the end,
// waits until no 's' frame has come for kQuietMs.  Every 's' frame in that
// interval is a late copy's answer: it starts the interval again, and one
// that carries a device error stops the download with it.  On a clean line
// nothing waits.  A download that met any of these runs Verify by itself
// after "Downloading Done!" and says why in the receive text.
//
// An 's' frame with a device error stops a running download whenever it
// arrives: as the awaited answer, as a frame that answers no block, and as a
// frame the receiver drops because it came before the block's ACK (which
// also ends that block's exchange: nothing of it is resent or waited for).
#include "commands/CommandType.h"
#include "console/ConsoleDlg.h"
#include "link/LinkFrame.h"

#include <cstdio>

namespace {
constexpr std::size_t kStrayMax = 300;  // longer than any frame the module sends
}  // namespace

void CConsoleDlg::BeginDownloadWatch() {
    m_bHeldForQuiet = false;
    m_bAutoVerifyDue = false;
    m_host.KillTimer(kTimerQuiet);
    // An answer overdue from before this download may still come.
    m_strAnomaly = m_bBlockDoubt ? "a block answer was still due from before the download" : "";
}

void CConsoleDlg::NoteBlockDoubt(const char* why) {
    m_bBlockDoubt = true;
    if (m_bDownloading && m_strAnomaly.empty()) m_strAnomaly = why;
    // A step already held waits again from now.
    if (m_bHeldForQuiet) m_host.SetTimer(kTimerQuiet, kQuietMs);
}

void CConsoleDlg::OnBlockResent() {
    if (m_nLastType == cmd::kWriteBlock && m_bDownloading) NoteBlockDoubt("a block was sent again after a missing ACK");
}

void CConsoleDlg::WatchStrayByte(std::uint8_t b, bool bAwaitingAck) {
    if (!m_bDownloading) {
        m_bStrayInFrame = false;
        return;
    }
    if (!bAwaitingAck) {
        m_bStrayInFrame = false;
        if (b == proto::ACK) NoteBlockDoubt("a second ACK came for one block");
        return;  // other noise while no block waits for its ACK
    }
    // A frame dropped before the block's ACK: assembled here only to be looked at.
    if (!m_bStrayInFrame) {
        if (b != proto::SOH) return;
        m_bStrayInFrame = true;
        m_strStray.assign(1, static_cast<char>(b));
        return;
    }
    m_strStray.push_back(static_cast<char>(b));
    const std::size_t n = m_strStray.size();
    const bool bEnded = n >= 2 && static_cast<std::uint8_t>(m_strStray[n - 2]) == proto::ETX &&
                        m_strStray.find(static_cast<char>(proto::ETX)) == n - 2;
    if (!bEnded) {
        if (n >= kStrayMax) m_bStrayInFrame = false;
        return;
    }
    m_bStrayInFrame = false;
    const auto* f = reinterpret_cast<const std::uint8_t*>(m_strStray.data());
    if (proto::Xor(f, n) != 0 || proto::ResponseCode(f, n) != 's') return;
    NoteBlockDoubt("a block answer came before the next block's ACK and was dropped");
    if (proto::HasErrorByte(n) && f[4] != ' ') {
        // The module refused a block: the download ends now, not after the
        // block's resends and time-outs (which would send it again).
        EndBlockExchange();
        StopDownloadForError(static_cast<std::uint8_t>(f[4] - 0x20));
    }
}

void CConsoleDlg::EndBlockExchange() {
    m_host.KillTimer(kTimerAck);
    m_host.KillTimer(kTimerResponse);
    m_nAckRetries = 0;
    m_bAckAwaited = false;
    m_bAnswerAwaited = false;
    m_nRxState = proto::kRxIdle;  // a late ACK is noise
    m_bBusy = 0;
    EnableRule();
}

void CConsoleDlg::OnStrayBlockAnswer(bool bError, std::uint8_t nCode) {
    if (!m_bDownloading) {
        // After a download: shown, nothing more.
        if (bError) ShowDeviceError(nCode);
        return;
    }
    NoteBlockDoubt("an answer came that no block was waiting for");
    if (bError) StopDownloadForError(nCode);
}

void CConsoleDlg::StopDownloadForError(std::uint8_t nCode) {
    if (!m_bDownloading) return;
    m_bDownloading = 0;
    m_bHeldForQuiet = false;
    m_host.KillTimer(kTimerQuiet);
    m_host.KillTimer(kTimerProgress);
    m_host.SetProgressPos(ids::kProgress, m_nBlocksDone);
    char why[96];
    std::snprintf(why, sizeof why, "an 's' frame carried device error %02X", static_cast<unsigned>(nCode));
    Notify(ev::Notice{.kind = ev::NoticeKind::DownloadStopped,
                      .k = m_nBlocksDone,
                      .n = kBlockCount,
                      .address = m_nImageAddr - kBlockSize,
                      .error = nCode,
                      .text = why});
    ShowDeviceError(nCode);
}

void CConsoleDlg::BlockConfirmed() {
    if (m_bBlockDoubt) {
        // This answer may be a late copy's: the next step waits for quiet.
        m_bHeldForQuiet = true;
        m_host.SetTimer(kTimerQuiet, kQuietMs);
        return;
    }
    if (m_nImageAddr < kImageSize)
        m_host.PostMessage(WM_NEXT_BLOCK, 0, 0);
    else
        FinishDownload();
}

void CConsoleDlg::OnQuietTimer() {
    m_host.KillTimer(kTimerQuiet);
    if (!m_bHeldForQuiet) return;
    m_bHeldForQuiet = false;
    m_bBlockDoubt = false;  // no 's' answer came for a whole interval
    if (!m_bDownloading) return;
    if (m_nImageAddr < kImageSize)
        OnNextBlock();
    else
        FinishDownload();
}

void CConsoleDlg::FinishDownload() {
    if (m_bBlockDoubt && !m_bHeldForQuiet) {
        m_bHeldForQuiet = true;
        m_host.SetTimer(kTimerQuiet, kQuietMs);
        return;
    }
    m_bDownloading = 0;
    m_nBlocksDone = kBlockCount;
    m_host.SetProgressPos(ids::kProgress, kBlockCount);
    EnableRule();
    m_host.KillTimer(kTimerProgress);
    // Verify runs once the handling of this answer has ended (busy cleared).
    m_bAutoVerifyDue = !m_strAnomaly.empty();
    if (m_bAutoVerifyDue) m_host.PostMessage(WM_NEXT_BLOCK, 0, 0);
    Notify(ev::Notice{.kind = ev::NoticeKind::DownloadDone, .k = kBlockCount, .n = kBlockCount});
    m_host.MessageBox("Downloading Done!", m_host.AppTitle(), fw::MsgIcon::None);
}
