#include "console/ConsoleDlg.h"
#include "console/LayoutTable.h"
#include "framework/HeadlessHost.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <cstring>

namespace {

struct Console : ::testing::Test {
    fw::HeadlessHost host;
    CConsoleDlg dlg{host};
    void SetUp() override { dlg.Create(); }
    void Select(int page) { host.SelectTab(ids::kTab, page); }
};

TEST_F(Console, StartUpStateAndTitle) {
    const std::string title = host.GetTitle();
    EXPECT_EQ(title, std::string("ZANTU Ver 1.2 (") + __DATE__ + ")");
    EXPECT_EQ(title.size(), std::strlen("ZANTU Ver 1.2 (Jan 11 2007)"));
    EXPECT_EQ(host.TabTexts(ids::kTab), (std::vector<std::string>{"COMM", "DISPENSE", "STATUS",
                                                                   "SETTING", "TEST", "DOWN_LOAD"}));
    EXPECT_EQ(host.GetControlText(ids::kStatus), "!!! Disconnected");
    EXPECT_TRUE(host.IsControlVisible(ids::kStatus));
    EXPECT_FALSE(host.IsControlEnabled(ids::kStatus));
    EXPECT_FALSE(host.IsControlVisible(ids::IDOK));
    EXPECT_EQ(host.GetProgressRange(ids::kProgress), (std::pair<int, int>{0, 320}));
    EXPECT_EQ(host.GetProgressPos(ids::kProgress), 0);
    EXPECT_EQ(host.GetCheck(1039), 1);
    EXPECT_EQ(host.GetCheck(1043), 1);
    EXPECT_EQ(host.GetCheck(1115), 1);
    EXPECT_EQ(dlg.m_nWaitSec, 2);
    EXPECT_EQ(dlg.m_Comm.NotifyWindow(), &host);
    // The tooltip's first line is the device path COM3 opens.
    EXPECT_EQ(host.GetToolTip(1041).substr(0, host.GetToolTip(1041).find('\n')),
              dlg.m_Comm.GetPortMap().PathFor(3));
    // Exactly the COMM rows are shown.
    for (const LayoutRow& r : g_Layout) {
        if (r.page == kLayoutEndPage) break;
        if (r.page == 0) {
            EXPECT_TRUE(host.IsControlVisible(r.id)) << r.id;
        }
    }
    EXPECT_FALSE(host.IsControlVisible(1001));
}

TEST_F(Console, AboutBoxShowsTheProgramIconAndVersion) {
    dlg.OnAbout();
    ASSERT_EQ(host.m_boxes.size(), 1u);
    EXPECT_EQ(host.m_boxes[0].text, "ZANTU-100 Version 1.0");
    EXPECT_EQ(host.m_boxes[0].icon, fw::MsgIcon::Application);
}

TEST_F(Console, PagesOneToFiveDisabledBeforeOpenWhileCommWorks) {
    EXPECT_TRUE(host.Click(1041));
    EXPECT_EQ(host.GetCheck(1039), 0);
    EXPECT_TRUE(host.IsControlEnabled(ids::kOpen));
    for (int page = 1; page <= 5; ++page) {
        Select(page);
        for (const LayoutRow& r : g_Layout) {
            if (r.page == kLayoutEndPage) break;
            if (r.page != page) continue;
            EXPECT_TRUE(host.IsControlVisible(r.id)) << r.id;
            EXPECT_FALSE(host.IsControlEnabled(r.id)) << r.id;
        }
    }
}

TEST_F(Console, OpenOnMissingPortReportsErrorAndPagesStayDisabled) {
    PortMap map;
    map.Set(3, "/nonexistent/zantu-tty-3");
    dlg.m_Comm.SetPortMap(map);
    host.Click(1041);
    host.Click(ids::kOpen);
    EXPECT_EQ(host.GetControlText(ids::kStatus), "!!! Error COM3 connect");
    EXPECT_EQ(dlg.m_bLinked, 0);
    Select(1);
    EXPECT_FALSE(host.IsControlEnabled(1001));
}

TEST_F(Console, PortChoiceHighestSetRadioWins) {
    PortMap map;
    for (int n = 1; n <= 10; ++n) map.Set(n, "/nonexistent/zantu-tty-" + std::to_string(n));
    dlg.m_Comm.SetPortMap(map);
    struct Case {
        std::vector<int> set;
        const char* status;
    };
    const Case cases[] = {
        {{}, "!!! Error COM1 connect"},
        {{1041, 1179}, "!!! Error COM7 connect"},
        {{1182}, "!!! Error COM10 connect"},
    };
    for (const Case& c : cases) {
        for (int id : {1039, 1040, 1041, 1042, 1177, 1178, 1179, 1180, 1181, 1182})
            host.SetCheck(id, 0);
        for (int id : c.set) host.SetCheck(id, 1);  // by code: two radios may be set
        dlg.OnOpen();
        EXPECT_EQ(host.GetControlText(ids::kStatus), c.status);
    }
}

TEST_F(Console, OpenAndReopenOnPseudoTerminal) {
    int master = -1, slave = -1;
    char name[128] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    PortMap map;
    map.Set(1, name);
    dlg.m_Comm.SetPortMap(map);
    host.Click(ids::kOpen);
    EXPECT_EQ(dlg.m_bLinked, 1);
    EXPECT_EQ(host.GetControlText(ids::kStatus), "COM1 connect");
    host.Click(ids::kOpen);  // closes first, so the same port opens again
    EXPECT_EQ(host.GetControlText(ids::kStatus), "COM1 connect");
    EXPECT_EQ(dlg.m_bLinked, 1);
    Select(1);
    EXPECT_TRUE(host.IsControlEnabled(1001));
    EXPECT_FALSE(host.IsControlEnabled(1057));  // a display
    dlg.m_Comm.Close();
    close(slave);
    close(master);
}

TEST_F(Console, SettingPageRestoresOrderAndClearsEntries) {
    dlg.m_bLinked = 1;
    Select(3);
    for (int id : {1086, 1139, 1090}) host.Type(id, "1A");
    Select(0);
    Select(3);
    EXPECT_EQ(host.GetControlText(1090), "1");
    EXPECT_EQ(host.GetControlText(1091), "2");
    EXPECT_EQ(host.GetControlText(1112), "3");
    EXPECT_EQ(host.GetControlText(1113), "4");
    EXPECT_EQ(host.GetControlText(1086), "");
    EXPECT_EQ(host.GetControlText(1139), "");
    EXPECT_EQ(dlg.Text(1090), "1");
}

TEST_F(Console, DispenseShowsNumbersAndReplacesLengths) {
    Select(1);
    EXPECT_EQ(host.GetControlText(ids::kRepeat), "0");
    EXPECT_EQ(host.GetControlText(ids::kWait), "2");
    EXPECT_EQ(host.GetControlText(1035), "0");
    Select(3);
    host.SetControlText(1139, "1F4");  // as GET LENGTH writes it
    dlg.m_nDispSum[0] = 7;
    Select(1);
    EXPECT_EQ(host.GetControlText(1139), "7");
}

TEST_F(Console, BusyDisablesPagesOneToFourButNotDownload) {
    dlg.m_bLinked = 1;
    dlg.m_bBusy = 1;
    Select(1);
    EXPECT_FALSE(host.IsControlEnabled(1001));
    Select(4);
    EXPECT_FALSE(host.IsControlEnabled(1012));
    Select(5);
    dlg.EnableRule();  // as every timer expiry and send runs it
    EXPECT_TRUE(host.IsControlEnabled(1170));
    EXPECT_TRUE(host.IsControlEnabled(1174));
    dlg.m_bBusy = 0;
    Select(2);
    EXPECT_TRUE(host.IsControlEnabled(1006));
    EXPECT_FALSE(host.IsControlEnabled(1046));  // a display
    dlg.m_bBusy = 1;
    dlg.EnableRule();
    EXPECT_FALSE(host.IsControlEnabled(1006));
}

TEST_F(Console, CounterRefreshAndExit) {
    Select(1);
    dlg.m_nRepeatLeft = 4;
    dlg.m_nTotalRejected = 9;
    dlg.CounterRefresh();
    EXPECT_EQ(host.GetControlText(ids::kRepeat), "4");
    EXPECT_EQ(host.GetControlText(1131), "9");
    host.Click(ids::IDCANCEL);
    EXPECT_EQ(host.m_endResult, ids::IDCANCEL);
}

}  // namespace
