// Page switch, enable rule and counter refresh, all driven by the layout table.
#include "console/ConsoleDlg.h"
#include "console/LayoutTable.h"

#include <string>

namespace {
std::string Dec(int n) { return std::to_string(n); }
}  // namespace

void CConsoleDlg::HideAll() {
    m_host.ShowControl(ids::IDOK, false);
    for (int id = 1001; id <= 1182; ++id) m_host.ShowControl(id, false);
    m_host.ShowControl(ids::kStatus, true);
    m_host.EnableControl(ids::kStatus, false);
}

void CConsoleDlg::ShowPage() {
    for (const LayoutRow& r : g_Layout) {
        if (r.page == kLayoutEndPage) break;
        if (r.page != m_nTab) continue;
        m_host.ShowControl(r.id, true);
        m_host.SetControlText(r.id, r.caption);
        m_host.MoveControl(r.id, fw::Rect{r.left, r.top, r.right - r.left, r.bottom - r.top});
        if (m_nTab != 0)
            m_host.EnableControl(r.id, m_bLinked && !IsBusy() && r.operable);
    }
    UpdateData(true);
    if (m_nTab == 1) {
        for (int i = 0; i < 4; ++i) {
            Text(1035 + i) = Dec(m_nRequest[i]);
            Text(1057 + i) = Dec(m_nDispensed[i]);
            Text(1061 + i) = Dec(m_nRejected[i]);
            Text(1139 + i) = Dec(m_nDispSum[i]);
            Text(1143 + i) = Dec(m_nRejSum[i]);
        }
        Text(ids::kRepeat) = Dec(m_nRepeatLeft);
        Text(ids::kWait) = Dec(m_nWaitSec);
        Text(1129) = Dec(m_nTotalRequested);
        Text(1130) = Dec(m_nTotalDispensed);
        Text(1131) = Dec(m_nTotalRejected);
        for (int i = 0; i < 7; ++i) Text(1132 + i) = Dec(m_nReasonSum[i]);
    }
    UpdateData(false);
}

void CConsoleDlg::EnableRule() {
    if (m_nTab == 0) return;
    for (const LayoutRow& r : g_Layout) {
        if (r.page == kLayoutEndPage) break;
        if (r.page != m_nTab) continue;
        // STOP is the one control for a running batch: usable only then.
        const bool usable = r.id == ids::kStop ? BatchStoppable() : (m_nTab == 5 || !IsBusy());
        m_host.EnableControl(r.id, r.operable && m_bLinked && usable);
    }
}

void CConsoleDlg::CounterRefresh() {
    UpdateData(true);
    Text(ids::kRepeat) = Dec(m_nRepeatLeft);
    Text(1129) = Dec(m_nTotalRequested);
    Text(1130) = Dec(m_nTotalDispensed);
    Text(1131) = Dec(m_nTotalRejected);
    UpdateData(false);
}

void CConsoleDlg::OnTabSelChange() {
    m_nTab = m_host.GetCurSel(ids::kTab);
    HideAll();
    ShowPage();
}
