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
// Such a frame answers no block that was waiting, so it is most likely the
// own answer of the block confirmed last (whose confirmation was an earlier
// block's answer again): that block is the one that failed, and the flash
// holds the blocks before it.  The count of blocks written is never more than
// the blocks whose own answer can have come.
//
// A duplicated answer on a clean line can put the console one block ahead
// with nothing to show it until the end: the last block's own answer then
// comes after "Downloading Done!".  Until the next Write Prog such an answer
// is heard: with a device error it withdraws "Downloading Done!" (the
// download failed), and either way Verify runs by itself, unless a command
// was pressed since (Verify runs once a download).
#include "commands/CommandType.h"
#include "console/ConsoleDlg.h"
#include "link/LinkFrame.h"

#include <algorithm>
#include <cstdio>

namespace {
constexpr std::size_t kStrayMax = 300;  // longer than any frame the module sends
}  // namespace

void CConsoleDlg::BeginDownloadWatch() {
    m_bHeldForQuiet = false;
    m_bAutoVerifyDue = false;
    m_bDoneStands = false;
    m_bVerifyMayFollow = false;
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
    if (!m_bDownloading && !m_bDoneStands) {
        m_bStrayInFrame = false;
        return;
    }
    if (!bAwaitingAck) {
        m_bStrayInFrame = false;
        if (b == proto::ACK && m_bDownloading) NoteBlockDoubt("a second ACK came for one block");
        return;  // other noise while no frame waits for its ACK
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
    const bool bError = proto::HasErrorByte(n) && f[4] != ' ';
    if (!m_bDownloading) {  // after "Downloading Done!", before another frame's ACK
        OnBlockAnswerAfterDone(bError, bError ? static_cast<std::uint8_t>(f[4] - 0x20) : 0);
        return;
    }
    NoteBlockDoubt("a block answer came before the next block's ACK and was dropped");
    if (bError) {
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
    if (!m_bDownloading && m_bDoneStands) {
        OnBlockAnswerAfterDone(bError, nCode);
        return;
    }
    if (!m_bDownloading) {
        // After a download that stopped: shown, nothing more.
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
    // The frame answers no block that was waiting: most likely it is the own
    // answer of the block confirmed last, whose confirmation was then an
    // earlier block's answer again.  That block failed; the flash holds the
    // blocks before it, never more.
    const int nFailed = std::max(1, m_nBlocksDone - 1);
    m_nBlocksDone = nFailed;
    m_host.SetProgressPos(ids::kProgress, m_nBlocksDone);
    char why[160];
    std::snprintf(why, sizeof why,
                  "an 's' frame no block waited for carried device error %02X: most likely the answer to the "
                  "block at 0x%04X",
                  static_cast<unsigned>(nCode), static_cast<unsigned>((nFailed - 1) * kBlockSize));
    Notify(ev::Notice{.kind = ev::NoticeKind::DownloadStopped,
                      .k = nFailed,
                      .n = kBlockCount,
                      .address = (nFailed - 1) * kBlockSize,
                      .error = nCode,
                      .text = why});
    ShowDeviceError(nCode);
}

void CConsoleDlg::OnBlockAnswerAfterDone(bool bError, std::uint8_t nCode) {
    // The answer taken for the last block may have been an earlier block's
    // again, and this one the last block's own.
    const char* why = bError ? "a block answer with a device error came after Downloading Done!"
                             : "a block answer came after Downloading Done!";
    if (m_bVerifyMayFollow && !m_bAutoVerifyDue) {
        m_bAutoVerifyDue = true;
        m_strAnomaly = why;
        m_host.PostMessage(WM_NEXT_BLOCK, 0, 0);  // once the handling of this frame has ended
    }
    if (!bError) return;
    m_bDoneStands = false;
    char text[160];
    std::snprintf(text, sizeof text,
                  "the module reported device error %02X for the last block after \"Downloading Done!\": "
                  "the download failed",
                  static_cast<unsigned>(nCode));
    Notify(ev::Notice{.kind = ev::NoticeKind::DownloadStopped,
                      .k = kBlockCount,
                      .n = kBlockCount,
                      .address = kImageSize - kBlockSize,
                      .error = nCode,
                      .text = text});
    AppendRecvLine(std::string("Downloading failed: ") + text + ".");
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
    m_bDoneStands = true;
    m_bVerifyMayFollow = true;
    m_bAutoVerifyDue = !m_strAnomaly.empty();
    if (m_bAutoVerifyDue) m_host.PostMessage(WM_NEXT_BLOCK, 0, 0);
    Notify(ev::Notice{.kind = ev::NoticeKind::DownloadDone, .k = kBlockCount, .n = kBlockCount});
    m_host.MessageBox("Downloading Done!", m_host.AppTitle(), fw::MsgIcon::None);
}
