// Message boxes, and what waits while one is open.
//
// A box runs a nested message loop.  Opened in the handling of a received
// frame, it keeps the reader in its hand-over, so the module's next bytes
// (an ACK, an answer) stay unread in the port until it closes; opened by a
// press, it lets them in.  Either way a send made from inside the loop could
// not be told from one the module has already answered.  So, while a box is
// open, nothing is sent and nothing is given up on:
//   - an expiry of the ACK timer (resend, give-up), the response timer
//     (give-up), the batch's Wait (the next run) or the download's quiet
//     interval (the next block, the end) is kept, and the timer stopped;
//   - a posted next block (or the Verify after a download) and a press held
//     for LAST STAT's answer are kept;
//   - the progress bar and the look for a lost port go on.
// When the last box closes, the channel is asked for a sync point: its
// reader finishes the hand-over under way, hands over what the port holds,
// and then sends WM_COMM_SYNC.  Only then does what was kept run, in the
// order it came; a kept timer runs only if nothing stopped or restarted it
// meanwhile, so an ACK read in the meantime cancels the kept resend and an
// answer read in the meantime cancels the kept time-out.  Without an open
// port there is nothing to read: WM_COMM_SYNC is posted instead, so what was
// kept still runs after the handler that opened the box has ended.
#include "console/ConsoleDlg.h"

#include <algorithm>

namespace {
// Timers whose expiry sends a frame or gives up on one.
constexpr bool SendsOrGivesUp(int id) {
    return id == kTimerAck || id == kTimerResponse || id == kTimerRepeat || id == kTimerQuiet;
}
}  // namespace

void CConsoleDlg::OpenBox() {
    if (m_nBoxDepth++ == 0) Tell([](ev::ConsoleObserver& o) { o.BoxOpen(true); });
}

void CConsoleDlg::CloseBox() {
    if (m_nBoxDepth <= 0 || --m_nBoxDepth > 0) return;
    Tell([](ev::ConsoleObserver& o) { o.BoxOpen(false); });
    // A sync point that came while this box was open was not taken: it is
    // asked for again, even when what it was for has gone meanwhile.
    if (m_nKept == 0 && !m_bSyncPending) return;
    m_bSyncPending = true;
    if (!m_Comm.RequestSync()) m_host.PostMessage(WM_COMM_SYNC, 0, 0);
}

int CConsoleDlg::MessageBox(std::string_view text, std::string_view caption, fw::MsgIcon icon) {
    return Modal([&] { return m_host.MessageBox(text, caption, icon); });
}

int CConsoleDlg::AskYesNo(std::string_view text, std::string_view caption, fw::MsgIcon icon) {
    return Modal([&] { return m_host.AskYesNo(text, caption, icon); });
}

std::optional<std::string> CConsoleDlg::OpenFileDialog(std::string_view filter) {
    return Modal([&] { return m_host.OpenFileDialog(filter); });
}

int CConsoleDlg::PopupMenu(std::span<const fw::MenuItem> items) {
    return Modal([&] { return m_host.PopupMenu(items); });
}

void CConsoleDlg::SetTimer(int nIdEvent, unsigned nElapseMs) {
    Forget(true, nIdEvent);
    m_host.SetTimer(nIdEvent, nElapseMs);
}

void CConsoleDlg::KillTimer(int nIdEvent) {
    Forget(true, nIdEvent);
    m_host.KillTimer(nIdEvent);
}

void CConsoleDlg::Keep(bool timer, int id) {
    const auto end = m_kept.begin() + static_cast<std::ptrdiff_t>(m_nKept);
    if (std::any_of(m_kept.begin(), end, [&](const Kept& k) { return k.timer == timer && k.id == id; })) return;
    // Four timers and two messages can be kept: the list never fills.
    if (m_nKept < kMaxKept) m_kept[m_nKept++] = Kept{timer, id};
}

bool CConsoleDlg::Forget(bool timer, int id) {
    const auto end = m_kept.begin() + static_cast<std::ptrdiff_t>(m_nKept);
    const auto it = std::find_if(m_kept.begin(), end, [&](const Kept& k) { return k.timer == timer && k.id == id; });
    if (it == end) return false;
    std::move(it + 1, end, it);
    --m_nKept;
    return true;
}

bool CConsoleDlg::HoldsExpiry(int nIdEvent) {
    if ((m_nBoxDepth == 0 && !m_bSyncPending) || !SendsOrGivesUp(nIdEvent)) return false;
    // Stopped, not acted on; its expiry stays kept until it runs or the timer
    // is started again or stopped.
    m_host.KillTimer(nIdEvent);
    Keep(true, nIdEvent);
    return true;
}

bool CConsoleDlg::HoldsMessage(unsigned msg) {
    if (m_nBoxDepth == 0 && !m_bSyncPending) return false;
    if (msg != WM_NEXT_BLOCK && msg != WM_PENDING_PRESS) return false;
    Keep(false, static_cast<int>(msg));
    return true;
}

std::intptr_t CConsoleDlg::OnCommSync() {
    // A box opened since the sync point was asked for: its closing asks again.
    if (m_nBoxDepth > 0 || !m_bSyncPending) return 1;
    m_bSyncPending = false;
    ReleaseKept();
    return 1;
}

void CConsoleDlg::SyncPointLost() {
    if (m_bSyncPending) m_host.PostMessage(WM_COMM_SYNC, 0, 0);
}

void CConsoleDlg::ReleaseKept() {
    // Each runs as it would have; one that opens a box keeps the rest (and
    // whatever that box keeps) for the next sync point.
    while (m_nKept > 0 && m_nBoxDepth == 0 && !m_bSyncPending) {
        const Kept k = m_kept[0];
        Forget(k.timer, k.id);
        if (k.timer)
            OnTimer(k.id);
        else
            OnMessage(static_cast<unsigned>(k.id), 0, 0);
    }
}
