// The console's ports: why an OPEN failed (status text unchanged, reason in
// the status tooltip and on the error line), a port that goes away and comes
// back behind a re-pointed link, and the Com radios' menu and tooltips.
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"

#include "trace/WireTrace.h"

#include "FakeDevices.h"
#include "HoldingProcess.h"
#include "TempTree.h"
#include "TraceParse.h"

#include <gtest/gtest.h>

#include "Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace {

struct ConsolePorts : ::testing::Test {
    fw::HeadlessHost host;
    CConsoleDlg dlg{host};
    TempTree tree;
    std::vector<std::string> errors;  // lines for the user
    std::vector<std::pair<int, std::optional<std::string>>> saved;
    void SetUp() override {
        ASSERT_TRUE(tree.MakeDir("lock") && tree.MakeDir("sys") && tree.MakeDir("dev"));
        dlg.m_devRoots = DeviceRoots{tree.Path("sys"), tree.Path("dev")};
        dlg.m_errorSink = [this](const std::string& s) { errors.push_back(s); };
        dlg.m_onPortAssigned = [this](int n, const std::optional<std::string>& p) { saved.emplace_back(n, p); };
        dlg.m_Comm.SetLockDir(tree.Path("lock"));
        dlg.Create();
    }
    void Map(int n, const std::string& path) {
        PortMap map = dlg.m_Comm.GetPortMap();
        map.Set(n, path);
        dlg.m_Comm.SetPortMap(map);
    }
    void Open(int n) {
        for (int id : ids::kCom) host.SetCheck(id, 0);
        host.SetCheck(ids::kCom[n - 1], 1);
        host.Click(ids::kOpen);
    }
    std::string Status() const { return host.GetControlText(ids::kStatus); }
    std::string Tip() const { return host.GetToolTip(ids::kStatus); }
    // Pumps until the status line reads text (the reader's report comes from its thread).
    bool StatusBecomes(const std::string& text) {
        return host.PumpUntil([&] { return Status() == text; });
    }
};

TEST_F(ConsolePorts, FailedOpenKeepsItsTextAndGivesTheReason) {
    Pty held;
    ASSERT_FALSE(held.slave.empty());
    HoldingProcess other(held.slave);
    ASSERT_GT(other.pid, 0);
    ASSERT_TRUE(tree.WriteFile("plain-file", "x"));
    struct Case {
        std::string path;
        std::string reason;  // a part of the reason
    } const cases[] = {
        {"/nonexistent/zantu-port", "/nonexistent/zantu-port does not exist"},
        {tree.Path("plain-file"), "is not a serial port"},
        {"/dev/null", "is not a serial port"},
        {held.slave, "is in use by another program: process " + std::to_string(other.pid)},
    };
    for (const Case& c : cases) {
        errors.clear();
        Map(3, c.path);
        Open(3);
        EXPECT_EQ(Status(), "!!! Error COM3 connect") << c.path;
        EXPECT_EQ(dlg.m_bLinked, 0);
        EXPECT_NE(Tip().find(c.reason), std::string::npos) << Tip();
        ASSERT_EQ(errors.size(), 1u) << c.path;
        EXPECT_EQ(errors[0], "COM3: " + Tip());
    }
}

TEST_F(ConsolePorts, PermissionDeniedNamesTheGroupAndTheFix) {
    PortOpenError e;
    e.fault = PortFault::NoPermission;
    e.path = "/dev/ttyUSB0";
    e.group = "dialout";
    e.groupMayOpen = true;
    const std::string notMember = DescribeOpenError(e);
    EXPECT_NE(notMember.find("Permission denied"), std::string::npos);
    EXPECT_NE(notMember.find("group dialout"), std::string::npos);
    EXPECT_NE(notMember.find("`sudo usermod -aG dialout $USER`, then log out and in again"), std::string::npos);
    e.inGroup = true;
    EXPECT_EQ(DescribeOpenError(e).find("usermod"), std::string::npos);
    e.inGroup = false;
    e.group = "root";
    EXPECT_NE(DescribeOpenError(e).find("Only its owner may open it"), std::string::npos);

    // Live, where this user may not open a serial device (an ordinary user in CI).
    if (geteuid() == 0 || access("/dev/ttyS0", F_OK) != 0 || access("/dev/ttyS0", R_OK | W_OK) == 0)
        GTEST_SKIP() << "needs an ordinary user and a /dev/ttyS0 it may not open";
    Map(2, "/dev/ttyS0");
    Open(2);
    EXPECT_EQ(Status(), "!!! Error COM2 connect");
    EXPECT_NE(Tip().find("Permission denied"), std::string::npos) << Tip();
}

TEST_F(ConsolePorts, SuccessfulOpenNamesTheDevice) {
    Pty pty;
    Map(1, pty.slave);
    Open(1);
    EXPECT_EQ(Status(), "COM1 connect");
    EXPECT_EQ(Tip(), "COM1: " + pty.slave);
    EXPECT_TRUE(errors.empty());
}

// Reads the far end until it stays quiet for a while.
std::vector<std::uint8_t> ReadAll(int fd) {
    std::vector<std::uint8_t> got;
    std::uint8_t buf[4096];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 300) == 1) {
        const ssize_t r = read(fd, buf, sizeof buf);
        if (r <= 0) break;
        got.insert(got.end(), buf, buf + r);
    }
    return got;
}

// The module stops reading (busy, stopped, an adapter's buffer full): a
// DISPENSE is sent, resent three times and given up on.  When the module
// reads again, none of the four frames reaches it.
TEST_F(ConsolePorts, AFrameGivenUpOnNeverReachesTheModule) {
    Pty pty;
    Map(1, pty.slave);
    Open(1);
    ASSERT_EQ(Status(), "COM1 connect");
    trace::LineStore store;
    trace::WireTrace wire([this] { return host.Now() * 1000; });
    wire.AddSink(&store);
    dlg.Subscribe(&wire);
    const std::vector<std::uint8_t> filler(1000, 'x');  // what the line still carries
    for (int i = 0; i < 1000 && dlg.m_Comm.LastWrite().outcome != WriteOutcome::Queued; ++i)
        dlg.m_Comm.Write(filler.data(), static_cast<std::uint32_t>(filler.size()));
    ASSERT_EQ(dlg.m_Comm.LastWrite().outcome, WriteOutcome::Queued);

    host.SelectTab(ids::kTab, 1);
    host.Type(ids::kRequest1, "1");
    ASSERT_TRUE(host.Click(1001));  // DISPENSE 1,0,0,0
    ASSERT_EQ(dlg.m_bBusy, 1);
    host.Advance(4 * kAckMs);
    EXPECT_EQ(Status(), "!!! Error ACK Timeout");
    EXPECT_EQ(dlg.m_Comm.UnsentBytes(), 0u);

    // The module reads again: what the line still held, then what is written now.
    const std::uint8_t ack = 0x06;
    EXPECT_EQ(dlg.m_Comm.Write(&ack, 1), 1);
    const auto got = ReadAll(pty.master);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), ack);
    EXPECT_EQ(std::count(got.begin(), got.end(), std::uint8_t{0x04}), 0) << "a DISPENSE frame reached the module";
    dlg.Unsubscribe(&wire);
    bool dropShown = false;
    for (const TraceLine& t : StoreLines(store)) dropShown = dropShown || t.what.rfind("write dropped", 0) == 0;
    // Bytes already in the pseudo-terminal's own buffer are flushed uncounted
    // (its driver does not count them); what our queue dropped is shown.
    if (dlg.m_Comm.DroppedBytes() > 0) {
        EXPECT_TRUE(dropShown);
    }
}

// A program that only has the device open (socat's pseudo-terminal pair, for
// one): OPEN names it and asks; No keeps it refused, Yes opens it.  With a
// live lock file it stays refused without a question.
TEST_F(ConsolePorts, APortAnotherProgramOnlyHasOpenIsOpenedWhenTheOperatorSaysSo) {
    Pty pty;
    HoldingProcess other(pty.slave);
    ASSERT_GT(other.pid, 0);
    Map(1, pty.slave);
    int answer = fw::kIdNo;
    host.m_answerBox = [&](const fw::MessageBoxRecord&) { return answer; };
    Open(1);
    EXPECT_EQ(Status(), "!!! Error COM1 connect");
    ASSERT_EQ(host.m_boxes.size(), 1u);
    EXPECT_TRUE(host.m_boxes[0].yesNo);
    EXPECT_NE(host.m_boxes[0].text.find("process " + std::to_string(other.pid)), std::string::npos);
    EXPECT_NE(host.m_boxes[0].text.find("Open it anyway?"), std::string::npos);
    EXPECT_NE(Tip().find("holds no lock on it"), std::string::npos) << Tip();

    answer = fw::kIdYes;
    Open(1);
    EXPECT_EQ(Status(), "COM1 connect");
    EXPECT_EQ(host.m_boxes.size(), 2u);
    dlg.m_Comm.Close();  // now the program also holds a lock file
    char real[PATH_MAX];
    ASSERT_NE(realpath(pty.slave.c_str(), real), nullptr);
    ASSERT_TRUE(TempTree::Write(tree.Path("lock/") + portlock::LockFileName(real), portlock::FormatLockPid(other.pid)));
    Open(1);
    EXPECT_EQ(Status(), "!!! Error COM1 connect");
    EXPECT_EQ(host.m_boxes.size(), 2u);  // no question
}

// COM1 is a link in the temporary folder that points at a pseudo-terminal,
// as /dev/serial/by-id names point at a USB adapter.
struct ConsoleReplug : ConsolePorts {
    std::optional<Pty> first{std::in_place};
    std::optional<Pty> second;
    std::string link = tree.Path("port");
    void SetUp() override {
        ConsolePorts::SetUp();
        ASSERT_TRUE(tree.Link("port", first->slave));
        Map(1, link);
        Open(1);
        ASSERT_EQ(Status(), "COM1 connect");
    }
    void Unplug() {
        first->Close();
        ASSERT_TRUE(StatusBecomes("!!! COM1 lost"));
    }
    void Replug() {
        second.emplace();
        ASSERT_FALSE(second->slave.empty());
        const std::string tmp = tree.Path("port.new");
        ASSERT_EQ(symlink(second->slave.c_str(), tmp.c_str()), 0);
        ASSERT_EQ(rename(tmp.c_str(), link.c_str()), 0);  // re-pointed in one step
    }
};

TEST_F(ConsoleReplug, LostThenBackWithNothingWrittenAndNoStateChanged) {
    dlg.m_nTotalDispensed = 7;
    dlg.m_nDispSum[2] = 3;
    dlg.m_nRepeatLeft = 2;
    const int framesBefore = dlg.m_nFramesAccepted;
    Unplug();
    EXPECT_EQ(dlg.m_bLinked, 0);
    EXPECT_EQ(dlg.m_Comm.Handle(), -1);  // the dead descriptor is released at once
    EXPECT_NE(Tip().find("went away"), std::string::npos);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(host.IsTimerRunning(kTimerReconnect));
    // Still away: it keeps looking.
    host.Advance(kReconnectMs);
    EXPECT_EQ(Status(), "!!! COM1 lost");
    EXPECT_TRUE(host.IsTimerRunning(kTimerReconnect));
    Replug();
    host.Advance(kReconnectMs);
    EXPECT_EQ(Status(), "COM1 connect");
    EXPECT_EQ(dlg.m_bLinked, 1);
    EXPECT_FALSE(host.IsTimerRunning(kTimerReconnect));
    EXPECT_EQ(CComm::LiveReaders(), 1);
    EXPECT_EQ(second->Pending(), 0u);  // reopening wrote nothing
    EXPECT_EQ(dlg.m_nTotalDispensed, 7);
    EXPECT_EQ(dlg.m_nDispSum[2], 3);
    EXPECT_EQ(dlg.m_nRepeatLeft, 2);
    EXPECT_EQ(dlg.m_nFramesAccepted, framesBefore);
    // The link works again, both ways.
    const std::uint8_t ack = 0x06;
    EXPECT_EQ(dlg.m_Comm.Write(&ack, 1), 1);
    std::uint8_t got = 0;
    pollfd p{second->master, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    ASSERT_EQ(read(second->master, &got, 1), 1);
    EXPECT_EQ(got, ack);
    // And it can go away a second time.
    second->Close();
    ASSERT_TRUE(StatusBecomes("!!! COM1 lost"));
}

TEST_F(ConsoleReplug, ACommandUnderWayEndsByItsTimeOuts) {
    host.SelectTab(ids::kTab, 4);
    dlg.OnCommand(1012);  // DIVERT
    ASSERT_EQ(dlg.m_bBusy, 1);
    Unplug();
    EXPECT_EQ(dlg.m_bBusy, 1);  // the loss alone ends nothing
    host.Advance(4 * kAckMs);   // three resends into nothing, then the give-up
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_EQ(Status(), "!!! COM1 lost");  // the cause stays in view
    EXPECT_NE(dlg.m_strRecv.find("!!! Error ACK Timeout"), std::string::npos) << dlg.m_strRecv;
    Replug();
    host.Advance(kReconnectMs);
    EXPECT_EQ(Status(), "COM1 connect");
}

TEST_F(ConsoleReplug, OpenWhileLostStopsTheWaiting) {
    Unplug();
    Map(2, "/nonexistent/zantu-port");
    Open(2);
    EXPECT_EQ(Status(), "!!! Error COM2 connect");
    EXPECT_FALSE(host.IsTimerRunning(kTimerReconnect));
    Replug();
    host.Advance(10 * kReconnectMs);
    EXPECT_EQ(Status(), "!!! Error COM2 connect");  // COM1 is not reopened behind the operator's back
}

struct ConsoleMenu : ::testing::Test {
    FakeDevices fake;
    fw::HeadlessHost host;
    CConsoleDlg dlg{host};
    std::vector<std::pair<int, std::optional<std::string>>> saved;
    void SetUp() override {
        ASSERT_TRUE(fake.BuildLaptop());
        dlg.m_devRoots = fake.roots;
        dlg.m_onPortAssigned = [this](int n, const std::optional<std::string>& p) { saved.emplace_back(n, p); };
        dlg.Create();
    }
    // Right-clicks COMn and picks the item whose text starts with prefix.
    bool Pick(int n, const std::string& prefix) {
        bool found = false;
        host.m_answerMenu = [&](const std::vector<fw::MenuItem>& items) {
            for (std::size_t i = 0; i < items.size(); ++i)
                if (!items[i].separator && items[i].text.rfind(prefix, 0) == 0) {
                    found = true;
                    return static_cast<int>(i);
                }
            return -1;
        };
        return host.RightClick(ids::kCom[n - 1]) && found;
    }
};

TEST_F(ConsoleMenu, ListsThePortsAndAssignsByTheStableName) {
    ASSERT_TRUE(Pick(3, "ttyUSB0: "));
    ASSERT_EQ(host.m_menus.size(), 1u);
    const auto& items = host.m_menus[0];
    std::vector<std::string> texts;
    for (const auto& it : items) texts.push_back(it.separator ? "--" : it.text);
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "ttyACM0: Arduino (www.arduino.cc), serial 7543 (2341:0043, cdc_acm)",
                         "ttyS0: serial port (serial8250)", "ttyS2: serial port (serial)",
                         "ttyS10: serial port (serial8250)",
                         "ttyUSB0: FTDI FT232R USB UART, serial A1B2C3 (0403:6001, ftdi_sio)", "--",
                         "default (/dev/ttyS2)"}));
    EXPECT_TRUE(items.back().checked);  // COM3 was on its default
    EXPECT_EQ(dlg.m_Comm.GetPortMap().PathFor(3), fake.ById());
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0], (std::pair<int, std::optional<std::string>>{3, fake.ById()}));
    EXPECT_EQ(host.GetToolTip(ids::kCom[2]),
              fake.ById() + "\nFTDI FT232R USB UART, serial A1B2C3 (0403:6001, ftdi_sio)\n" + fake.dev +
                  "/ttyUSB0\npresent");

    // The menu shows the assignment; "default" takes it back.
    ASSERT_TRUE(Pick(3, "default"));
    EXPECT_TRUE(host.m_menus[1][4].checked);
    EXPECT_FALSE(host.m_menus[1].back().checked);
    EXPECT_EQ(dlg.m_Comm.GetPortMap().PathFor(3), "/dev/ttyS2");
    EXPECT_FALSE(dlg.m_Comm.GetPortMap().IsOverridden(3));
    EXPECT_EQ(saved.back(), (std::pair<int, std::optional<std::string>>{3, std::nullopt}));
}

TEST_F(ConsoleMenu, APortWithoutStableNameAnAbsentAssignmentAndOtherControls) {
    ASSERT_TRUE(Pick(10, "ttyACM0"));
    EXPECT_EQ(dlg.m_Comm.GetPortMap().PathFor(10), fake.dev + "/ttyACM0");
    // An assignment to a device that is not there shows in the menu, not choosable.
    PortMap map = dlg.m_Comm.GetPortMap();
    map.Set(4, fake.dev + "/serial/by-id/usb-Other_Adapter-if00");
    dlg.m_Comm.SetPortMap(map);
    dlg.RefreshComToolTips();
    EXPECT_EQ(host.GetToolTip(ids::kCom[3]), fake.dev + "/serial/by-id/usb-Other_Adapter-if00\nnot present now");
    Pick(4, fake.dev + "/serial/by-id/usb-Other_Adapter-if00");  // disabled: choosing it does nothing
    bool listed = false;
    for (const auto& it : host.m_menus.back())
        if (it.text == fake.dev + "/serial/by-id/usb-Other_Adapter-if00 (not present now)")
            listed = !it.enabled && it.checked;
    EXPECT_TRUE(listed);
    EXPECT_EQ(dlg.m_Comm.GetPortMap().PathFor(4), fake.dev + "/serial/by-id/usb-Other_Adapter-if00");
    // Elsewhere the window keeps its own menu.
    const std::size_t menus = host.m_menus.size();
    EXPECT_FALSE(host.RightClick(ids::kOpen));
    EXPECT_FALSE(host.RightClick(ids::kStatus));
    EXPECT_EQ(host.m_menus.size(), menus);
    EXPECT_EQ(saved.size(), 1u);
}

TEST_F(ConsoleMenu, TooltipsSayWhetherTheDeviceIsThereNow) {
    PortMap map;
    map.Set(1, fake.dev + "/ttyS0");
    map.Set(2, fake.dev + "/ttyUSB3");
    dlg.m_Comm.SetPortMap(map);
    dlg.OnToolTip(ids::kCom[0]);
    EXPECT_EQ(host.GetToolTip(ids::kCom[0]), fake.dev + "/ttyS0\nserial port (serial8250)\npresent");
    EXPECT_EQ(host.GetToolTip(ids::kCom[1]), fake.dev + "/ttyUSB3\nnot present now");
    ASSERT_TRUE(fake.tree.WriteFile("dev/ttyUSB3", ""));  // plugged in meanwhile
    dlg.OnToolTip(ids::kCom[1]);
    EXPECT_EQ(host.GetToolTip(ids::kCom[1]), fake.dev + "/ttyUSB3\npresent");
}

TEST_F(ConsoleReplug, BackButHeldByAnotherProgramIsLookedAtEveryTwoSeconds) {
    Unplug();
    host.Advance(kReconnectMs);  // a look while it is away (the ended reader is joined before the fork below)
    Replug();
    std::optional<HoldingProcess> other(std::in_place, second->slave);
    ASSERT_GT(other->pid, 0);
    host.Advance(kReconnectMs);
    EXPECT_EQ(Status(), "!!! COM1 lost");
    EXPECT_NE(Tip().find("process " + std::to_string(other->pid)), std::string::npos) << Tip();
    EXPECT_EQ(host.TimerPeriod(kTimerReconnect), kReconnectHeldMs);
    other.reset();
    host.Advance(kReconnectHeldMs);
    EXPECT_EQ(Status(), "COM1 connect");
}

// The wire trace through a loss: the port lost, the resends that found no
// port, the give-up, the port back.
TEST_F(ConsoleReplug, TheWireTraceShowsThePortLostAndBack) {
    trace::LineStore store;
    trace::WireTrace wire([this] { return host.Now() * 1000; });
    wire.AddSink(&store);
    dlg.Subscribe(&wire);
    host.SelectTab(ids::kTab, 4);
    dlg.OnCommand(1012);  // DIVERT
    Unplug();
    host.Advance(4 * kAckMs);
    Replug();
    host.Advance(kReconnectMs);
    ASSERT_EQ(Status(), "COM1 connect");
    dlg.Unsubscribe(&wire);
    std::vector<std::string> whats;
    for (const TraceLine& t : StoreLines(store)) whats.push_back(t.what);
    const std::vector<std::string> want = {
        "DIVERT (type 12)",
        "COM1 lost (" + link + ")",
        "DIVERT (type 12), resend 1 of 3, port not open: not sent",
        "DIVERT (type 12), resend 2 of 3, port not open: not sent",
        "DIVERT (type 12), resend 3 of 3, port not open: not sent",
        "ACK time-out: DIVERT (type 12) given up after 3 resends",
        "COM1 back, opened again (" + dlg.m_Comm.OpenedPath() + ")",
    };
    EXPECT_EQ(whats, want);
}

}  // namespace
