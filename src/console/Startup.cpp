// The console's start-up, OPEN, EXIT and the About box.
#include "console/ConsoleDlg.h"
#include "commands/CommandType.h"
#include "console/DialogTemplate.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace {
constexpr const char* kTabTexts[6] = {"COMM", "DISPENSE", "STATUS", "SETTING", "TEST", "DOWN_LOAD"};
constexpr const int (&kComIds)[10] = ids::kCom;
// Texts that name a field, and the field: "Port " the Com radios, "Box 1".."Box 4"
// the Request counts, "Repeat" and "Wait" theirs.
constexpr std::pair<int, int> kNamedFields[] = {{1028, kComIds[0]},         {1021, ids::kRequest1},
                                                {1022, ids::kRequest1 + 1}, {1023, ids::kRequest1 + 2},
                                                {1024, ids::kRequest1 + 3}, {1154, ids::kRepeat},
                                                {1155, ids::kWait}};
}  // namespace

void CConsoleDlg::Create() {
    const fw::Host::BaseUnits bu = m_host.DialogBaseUnits();
    const auto controls = BuildControls(bu);
    m_host.CreateDialog("", MulDiv(kDialogWidthDu, bu.cx, 4), MulDiv(kDialogHeightDu, bu.cy, 8),
                        controls);
    OnInitDialog();
}

std::string CConsoleDlg::BuildTitle() {
    // The date this file was compiled, as the compiler writes it ("Jan 11 2007",
    // "Jan  1 2007").
    return std::string("ZANTU Ver 1.2 (") + __DATE__ + ")";
}

int CConsoleDlg::OnInitDialog() {
    m_host.SetTitle(BuildTitle());
    m_host.RaisePriority();
    for (int i = 0; i < 6; ++i) m_host.InsertTab(ids::kTab, i, kTabTexts[i]);
    for (auto [label, field] : kNamedFields) m_host.SetBuddy(label, field);
    m_Comm.SetNotifyWindow(&m_host);
    (void)m_Comm.InitOverlapped();

    m_bLinked = 0;
    m_bBusy = 0;
    m_nTab = 0;
    m_nRepeat = 0;
    m_nRepeatLeft = 0;
    m_nWaitSec = 2;
    m_nTotalRequested = m_nTotalDispensed = m_nTotalRejected = 0;
    for (int i = 0; i < 4; ++i)
        m_nDispSum[i] = m_nRejSum[i] = m_nRequest[i] = m_nDispensed[i] = m_nRejected[i] = 0;
    for (int& n : m_nReasonSum) n = 0;

    UpdateData(true);
    for (int id : kComIds) Check(id) = 0;
    Check(1039) = 1;
    Check(1043) = 1;
    Check(1044) = Check(1045) = Check(1114) = 0;
    Check(1115) = 1;
    Check(1116) = Check(1117) = Check(1118) = 0;
    m_strStatus = "!!! Disconnected";
    m_nBlocksDone = 0;
    m_host.SetProgressRange(ids::kProgress, 0, kBlockCount);
    m_host.SetProgressPos(ids::kProgress, 0);
    UpdateData(false);

    // Each Com radio tells which device it opens, what it is and whether it is there.
    RefreshComToolTips();

    HideAll();
    ShowPage();
    return 1;
}

void CConsoleDlg::OnOpen() {
    // The operator's OPEN takes over from waiting for a lost port.
    KillTimer(kTimerReconnect);
    m_nLostPort = 0;
    if (m_Comm.IsOpen()) {
        m_Comm.Close();
        SyncPointLost();
        TraceLink(ev::LinkEvent::Close, std::atoi(m_Comm.PortName() + 3));
        if (const int err = m_Comm.ReleaseError())
            ReportLine(std::string(m_Comm.PortName()) + ": its exclusive flag could not be cleared (" +
                       SystemErrorText(err) + "); other users may be refused until the far end closes.");
    }
    UpdateData(true);
    UpdateData(false);
    int nPort = 1;
    for (int n = 1; n <= 10; ++n)
        if (Check(kComIds[n - 1])) nPort = n;
    m_Comm.SetShared(false);
    int ok = m_Comm.Open(static_cast<std::uint16_t>(nPort), 9600, 8, ONESTOPBIT, NOPARITY);
    if (!ok && m_Comm.LastOpenError().onlyOpen) {
        // Another program has the device open but locks nothing (a virtual
        // null modem keeps both its ends open): the operator decides.
        const PortOpenError& e = m_Comm.LastOpenError();
        std::string who = "process " + std::to_string(e.holder.pid);
        if (!e.holder.name.empty()) who += " (" + e.holder.name + ")";
        const std::string question = e.path + " is open in " + who +
                                     ", which holds no lock on it.\n\nOpen it anyway? Both programs then "
                                     "read from the port, and each may take bytes meant for the other.";
        if (AskYesNo(question, "", fw::MsgIcon::Warning) == fw::kIdYes) {
            m_Comm.SetShared(true);
            ok = m_Comm.Open(static_cast<std::uint16_t>(nPort), 9600, 8, ONESTOPBIT, NOPARITY);
        }
    }
    m_bLinked = ok ? 1 : 0;
    if (HasObservers())
        TraceLink(ok ? ev::LinkEvent::Open : ev::LinkEvent::OpenFailed, nPort,
                  ok ? m_Comm.OpenedPath() : DescribeOpenError(m_Comm.LastOpenError()));
    char sz[40];
    std::snprintf(sz, sizeof sz, ok ? "COM%d connect" : "!!! Error COM%d connect", nPort);
    UpdateData(true);
    m_strStatus = sz;
    UpdateData(false);
    ReportOpen(nPort, ok != 0);
}

void CConsoleDlg::OnCancel() {
    // EXIT or Esc during a batch would cut its record short: asked first (No
    // is the default; STOP ends it whole).
    if (m_bBusy && !m_bDownloading && (cmd::IsDispenseType(m_nLastType) || m_nLastType == cmd::kPurge) &&
        AskYesNo("A batch is running. End it and exit?\n\nIts record keeps the answers so far "
                        "and says it was interrupted; STOP ends it after the exchange under way.",
                        "", fw::MsgIcon::Question) != fw::kIdYes)
        return;
    EndNow();
}

void CConsoleDlg::EndNow() {
    m_bClosing = true;  // an answer decoded from now on starts no further send
    m_host.EndDialog(ids::IDCANCEL);
}

// The About box: the program's icon, its text and OK.
void CConsoleDlg::OnAbout() {
    MessageBox("ZANTU-100 Version 1.0", "", fw::MsgIcon::Application);
}
