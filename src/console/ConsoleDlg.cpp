#include "console/ConsoleDlg.h"

#include "commands/CommandType.h"
#include "console/Bindings.h"

#include <algorithm>
#include <cstdlib>

CConsoleDlg::CConsoleDlg(fw::Host& host) : m_host(host) {
    // The image holds 0xFF in every byte before the first load of a run, so a
    // Verify before any load sends a defined sum.
    m_Image.fill(0xFF);
    m_host.SetWindow(this);
}

CConsoleDlg::~CConsoleDlg() {
    if (m_hLogFile) std::fclose(m_hLogFile);
    // The channel closes the port when it goes, right after this.
    if (m_Comm.IsOpen()) TraceLink(ev::LinkEvent::Close, std::atoi(m_Comm.PortName() + 3));
    m_host.SetWindow(nullptr);
}

bool CConsoleDlg::Subscribe(ev::ConsoleObserver* pObserver) {
    if (!pObserver) return false;
    for (ev::ConsoleObserver*& slot : m_observers) {
        if (slot == pObserver) return true;
        if (!slot) {
            slot = pObserver;
            return true;
        }
    }
    return false;
}

void CConsoleDlg::Unsubscribe(ev::ConsoleObserver* pObserver) {
    // The later subscribers move up, so the order of telling stays.
    auto it = std::find(m_observers.begin(), m_observers.end(), pObserver);
    if (it == m_observers.end() || !pObserver) return;
    std::move(it + 1, m_observers.end(), it);
    m_observers.back() = nullptr;
}

std::string& CConsoleDlg::Text(int id) {
    if (id == ids::kRecv) return m_strRecv;
    if (id == ids::kStatus) return m_strStatus;
    if (id < ids::kFirst || id > ids::kLast) {
        static thread_local std::string dummy;
        dummy.clear();
        return dummy;
    }
    return m_strText[static_cast<std::size_t>(id - ids::kFirst)];
}

void CConsoleDlg::AppendRecv(std::string_view text) {
    const std::size_t oldSize = m_strRecv.size();
    m_strRecv += text;
    if (m_strRecv.size() <= kRecvKeep) return;
    // The oldest text goes, up to the end of the line the cut falls in; the
    // text just appended always stays.  Old text without a line break to cut
    // at is cut at the bound itself.
    const std::size_t cut = std::min(m_strRecv.size() - kRecvKeep, oldSize);
    const std::size_t eol = m_strRecv.find('\n', cut);
    m_strRecv.erase(0, eol < oldSize ? eol + 1 : cut);
}

void CConsoleDlg::AppendRecvLine(std::string_view line) {
    std::string text;
    if (!m_strRecv.empty() && m_strRecv.back() != '\n') text = "\r\n";
    text += line;
    if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) text += "\r\n";
    AppendRecv(text);
}

void CConsoleDlg::ShowRecvLine(std::string_view line) {
    AppendRecvLine(line);
    m_host.SetControlText(ids::kRecv, m_strRecv);
    m_host.ScrollToEnd(ids::kRecv);
}

namespace {
ev::WaitKind WaitOfTimer(int nTimer) {
    switch (nTimer) {
    case kTimerAck: return ev::WaitKind::Ack;
    case kTimerResponse: return ev::WaitKind::Answer;
    default: return ev::WaitKind::NextRun;
    }
}
}  // namespace

void CConsoleDlg::StartWait(int nTimer, unsigned nMs) {
    SetTimer(nTimer, nMs);
    if (HasObservers()) Tell([&](ev::ConsoleObserver& o) { o.Waiting(WaitOfTimer(nTimer), nMs); });
}

void CConsoleDlg::StopWait(int nTimer) {
    KillTimer(nTimer);
    if (HasObservers()) Tell([&](ev::ConsoleObserver& o) { o.Waiting(WaitOfTimer(nTimer), 0); });
}

int& CConsoleDlg::Check(int id) {
    if (id < ids::kFirst || id > ids::kLast) {
        static thread_local int dummy;
        dummy = 0;
        return dummy;
    }
    return m_nCheck[static_cast<std::size_t>(id - ids::kFirst)];
}

void CConsoleDlg::UpdateData(bool bSaveAndValidate) {
    for (const auto& b : g_Bindings) {
        for (int id = b.first; id <= b.last; ++id) {
            if (b.kind == BindKind::Shown) {
                if (!bSaveAndValidate) m_host.SetControlText(id, Text(id));
            } else if (b.kind == BindKind::Text) {
                if (bSaveAndValidate)
                    Text(id) = m_host.GetControlText(id);
                else
                    m_host.SetControlText(id, Text(id));
            } else {
                if (bSaveAndValidate)
                    Check(id) = m_host.GetCheck(id) ? 1 : 0;
                else
                    m_host.SetCheck(id, Check(id));
            }
        }
    }
}

void CConsoleDlg::OnTimer(int nIdEvent) {
    if (HoldsExpiry(nIdEvent)) {  // a box is open: it runs once the line was read
        TellIdleChange();
        return;
    }
    switch (nIdEvent) {
    case kTimerAck: OnAckTimer(); break;
    case kTimerResponse: OnResponseTimer(); break;
    case kTimerProgress: OnProgressTimer(); break;
    case kTimerRepeat: OnRepeatTimer(); break;
    case kTimerReconnect: OnReconnectTimer(); break;
    case kTimerQuiet: OnQuietTimer(); break;
    default: KillTimer(nIdEvent); break;
    }
    EnableRule();
    TellIdleChange();
}

std::intptr_t CConsoleDlg::OnMessage(unsigned msg, std::uintptr_t, std::intptr_t) {
    if (HoldsMessage(msg)) {
        TellIdleChange();
        return 0;
    }
    std::intptr_t r = 0;
    switch (msg) {
    case WM_COMM_DATA: r = OnCommData(); break;
    case WM_FRAME_READY: r = OnFrameReady(); break;
    case WM_NEXT_BLOCK: r = OnNextBlock(); break;
    case WM_COMM_LOST: r = OnCommLost(); break;
    case WM_PENDING_PRESS: r = OnPendingPress(); break;
    case WM_COMM_SYNC: r = OnCommSync(); break;
    default: break;
    }
    TellIdleChange();
    return r;
}

namespace {
// The command type a button sends; 0 for a button that sends none.
int TypeOfButton(int nId) {
    if (nId >= 1001 && nId <= 1000 + cmd::kLastButtonType) return nId - 1000;
    switch (nId) {
    case ids::kLog: return cmd::kLog;
    case ids::kGoLoader: return cmd::kGoLoader;
    case ids::kWriteProg: return cmd::kWriteBlock;
    case ids::kVerify: return cmd::kVerify;
    case ids::kReset: return cmd::kReset;
    default: return cmd::kNone;
    }
}
}  // namespace

void CConsoleDlg::OnCommand(int nId) {
    const int nType = TypeOfButton(nId);
    if (nType != cmd::kNone || nId == ids::kOpen) {
        // Listeners hear of the press before anything it does; a refusal
        // names it.
        const ev::Press outer = m_press;
        m_press = {nId, nType};
        // A command pressed after a download: Verify no longer runs for it by itself.
        if (nType != cmd::kNone) m_bVerifyMayFollow = false;
        Tell([&](ev::ConsoleObserver& o) { o.Pressed(m_press); });
        if (nType != cmd::kNone && m_nKept > 0) {
            // What a box kept (the next run, a resend, the next block, the
            // Verify after a download) goes first, once the line was read.
            Refuse(ev::Refusal::Busy);
        } else {
            Dispatch(nId);
        }
        m_press = outer;
        TellIdleChange();
        return;
    }
    Dispatch(nId);
}

void CConsoleDlg::Dispatch(int nId) {
    if (nId >= 1001 && nId <= 1018) {
        OnCommandButton(nId);
        return;
    }
    switch (nId) {
    case ids::kLog: OnLog(); break;
    case ids::kOpen: OnOpen(); break;
    case ids::kGoLoader: OnGoLoader(); break;
    case ids::kWriteProg: OnWriteProg(); break;
    case ids::kVerify: OnVerify(); break;
    case ids::kReset: OnReset(); break;
    case ids::IDCANCEL: OnCancel(); break;
    case ids::kStop: StopBatch(); break;
    default: break;  // radios, check boxes: state only
    }
}
