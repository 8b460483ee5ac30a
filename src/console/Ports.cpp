// The console's ports beyond OPEN itself: why an OPEN failed, a port that
// went away and came back, the Com radios' tooltips and their menu of the
// ports found.
//
// A lost port: the reader tells the window (WM_COMM_LOST) and ends; the
// handler releases the dead descriptor at once, says "!!! COM%d lost" and
// starts timer 11, which tries the port again every half second by the name
// it came by (its by-id name when it has one, else its path), every two
// seconds while it is back but another program has it.  Reopening writes
// nothing and leaves every batch, counter and protocol state as it was: a
// command under way ends by its own time-outs, noted in the receive text,
// while the status line goes on saying the port is lost.
#include "console/ConsoleDlg.h"

#include <cstdio>
#include <cstring>

namespace {
// COM number of a Com radio, 0 for other controls.
int ComOfControl(int id) {
    for (int n = 1; n <= 10; ++n)
        if (ids::kCom[n - 1] == id) return n;
    return 0;
}
}  // namespace

void CConsoleDlg::ReportLine(const std::string& text) {
    if (m_errorSink) {
        m_errorSink(text);
        return;
    }
    std::fprintf(stderr, "%s: %s\n", m_host.AppTitle().c_str(), text.c_str());
}

void CConsoleDlg::ReportOpen(int nPort, bool bOk) {
    const std::string com = "COM" + std::to_string(nPort);
    if (bOk) {
        m_host.SetToolTip(ids::kStatus, com + ": " + m_Comm.OpenedPath());
        return;
    }
    const std::string reason = DescribeOpenError(m_Comm.LastOpenError());
    m_host.SetToolTip(ids::kStatus, reason);
    ReportLine(com + ": " + reason);
    // Also where the technician reads, wrapped, rather than in a tooltip alone.
    UpdateData(true);
    AppendRecvLine(com + ": " + reason);
    UpdateData(false);
}

std::intptr_t CConsoleDlg::OnCommLost() {
    SyncPointLost();  // the reader has ended: no sync point comes from it
    if (!m_Comm.IsOpen()) return 0;  // closed meanwhile: nothing to do
    const int nPort = m_Comm.OpenedPort();
    m_Comm.ReleaseLost();
    TraceLink(ev::LinkEvent::PortLost, nPort, m_Comm.ReopenPath());
    Notify(ev::Notice{.kind = ev::NoticeKind::PortLost, .port = nPort, .text = m_Comm.ReopenPath()});
    m_bLinked = 0;
    m_nLostPort = nPort;
    char sz[40];
    std::snprintf(sz, sizeof sz, "!!! COM%d lost", nPort);
    UpdateData(true);
    m_strStatus = sz;
    UpdateData(false);
    PortOpenError e;
    e.fault = PortFault::Lost;
    e.nPort = nPort;
    e.path = m_Comm.ReopenPath();
    std::string reason = DescribeOpenError(e);
    if (const int err = m_Comm.ReaderError())
        reason += std::string(" (Waiting on it failed: ") + SystemErrorText(err) + ".)";
    m_host.SetToolTip(ids::kStatus, reason);
    ReportLine("COM" + std::to_string(nPort) + ": " + reason);
    SetTimer(kTimerReconnect, kReconnectMs);
    EnableRule();
    return 1;
}

void CConsoleDlg::OnReconnectTimer() {
    KillTimer(kTimerReconnect);
    if (m_nLostPort == 0) return;
    if (!m_Comm.Reopen()) {
        // Still away, or back but refused (another program took it): go on looking.
        const PortOpenError& e = m_Comm.LastOpenError();
        if (e.fault != PortFault::NoDevice) m_host.SetToolTip(ids::kStatus, DescribeOpenError(e));
        SetTimer(kTimerReconnect, e.fault == PortFault::InUse ? kReconnectHeldMs : kReconnectMs);
        return;
    }
    const int nPort = m_nLostPort;
    m_nLostPort = 0;
    m_bLinked = 1;
    TraceLink(ev::LinkEvent::PortBack, nPort, m_Comm.OpenedPath());
    Notify(ev::Notice{.kind = ev::NoticeKind::PortBack, .port = nPort, .text = m_Comm.OpenedPath()});
    char sz[40];
    std::snprintf(sz, sizeof sz, "COM%d connect", nPort);
    UpdateData(true);
    m_strStatus = sz;
    UpdateData(false);
    m_host.SetToolTip(ids::kStatus, "COM" + std::to_string(nPort) + ": " + m_Comm.OpenedPath());
    ReportLine("COM" + std::to_string(nPort) + ": " + m_Comm.OpenedPath() + " is back, opened again.");
}

std::string CConsoleDlg::ComToolTip(int nPort) const {
    const std::string path = m_Comm.GetPortMap().PathFor(nPort);
    std::string tip = path;
    for (const SerialPortInfo& p : m_ports) {
        if (!NamesPort(path, p)) continue;
        tip += "\n" + p.Description();
        if (p.device != path) tip += "\n" + p.device;
        break;
    }
    tip += PortPresent(path) ? "\npresent" : "\nnot present now";
    return tip;
}

void CConsoleDlg::RefreshComToolTips() {
    m_ports = DiscoverPorts(m_devRoots);
    for (int n = 1; n <= 10; ++n) m_host.SetToolTip(ids::kCom[n - 1], ComToolTip(n));
}

void CConsoleDlg::OnToolTip(int nId) {
    if (ComOfControl(nId)) RefreshComToolTips();
}

void CConsoleDlg::AssignPort(int nPort, const std::optional<std::string>& path) {
    PortMap map = m_Comm.GetPortMap();
    if (path)
        map.Set(nPort, *path);
    else
        map.Reset(nPort);
    m_Comm.SetPortMap(map);
    if (m_onPortAssigned) m_onPortAssigned(nPort, path);
    RefreshComToolTips();
}

bool CConsoleDlg::OnContextMenu(int nId) {
    const int nPort = ComOfControl(nId);
    if (nPort == 0) return false;
    m_ports = DiscoverPorts(m_devRoots);
    const PortMap& map = m_Comm.GetPortMap();
    const std::string current = map.PathFor(nPort);

    constexpr int kNone = -1, kDefault = -2;
    std::vector<fw::MenuItem> items;
    std::vector<int> action;  // per item: index into m_ports, kDefault or kNone
    bool currentListed = false;
    for (std::size_t i = 0; i < m_ports.size(); ++i) {
        const SerialPortInfo& p = m_ports[i];
        const bool assigned = map.IsOverridden(nPort) && NamesPort(current, p);
        currentListed = currentListed || assigned;
        items.push_back({p.name + ": " + p.Description(), true, assigned, false});
        action.push_back(static_cast<int>(i));
    }
    if (m_ports.empty()) {
        items.push_back({"no serial ports found", false, false, false});
        action.push_back(kNone);
    }
    if (map.IsOverridden(nPort) && !currentListed) {
        items.push_back({current + (PortPresent(current) ? "" : " (not present now)"), false, true, false});
        action.push_back(kNone);
    }
    items.push_back({"", true, false, true});
    action.push_back(kNone);
    items.push_back({"default (" + PortMap::DefaultPath(nPort) + ")", true, !map.IsOverridden(nPort), false});
    action.push_back(kDefault);

    const int chosen = PopupMenu(items);
    if (chosen < 0 || chosen >= static_cast<int>(action.size())) return true;
    const int a = action[static_cast<std::size_t>(chosen)];
    if (a == kDefault) AssignPort(nPort, std::nullopt);
    else if (a >= 0) AssignPort(nPort, m_ports[static_cast<std::size_t>(a)].StableName());
    return true;
}
