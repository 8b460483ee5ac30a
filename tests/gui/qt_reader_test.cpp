// The Qt back-end's hand-over from the channel's reader thread, with a real
// reader on a pseudo-terminal against the simulated module: traffic, then the
// channel closed and opened again from inside a message box's nested loop
// while the module keeps sending, then traffic again.  Run under
// ThreadSanitizer by scripts/test.sh.
#include "console/ConsoleDlg.h"
#include "framework/qt/QtHost.h"
#include "framework/qt/StopSignals.h"
#include "Simulator.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <functional>

namespace {

// Runs the event loop until pred() holds or ms of real time pass.
bool SpinUntil(const std::function<bool()>& pred, int ms) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

struct QtReader : ::testing::Test {
    zsim::Simulator sim;
    fw::QtHost host;
    CConsoleDlg dlg{host};

    void SetUp() override {
        const std::string path = sim.StartOnPty();
        if (path.empty()) GTEST_SKIP() << "no pseudo-terminal: " << sim.LastError();
        dlg.Create();
        PortMap map;
        map.Set(1, path);
        dlg.m_Comm.SetPortMap(map);
        dlg.OnOpen();
        ASSERT_EQ(dlg.m_strStatus, "COM1 connect");
        host.SelectTabForTest(2);
    }
    void TearDown() override {
        dlg.m_Comm.Close();
        sim.Stop();
    }
    // STATUS, answered: one more frame accepted and the console idle.
    bool Status() {
        const int before = dlg.m_nFramesAccepted;
        dlg.OnCommand(1006);
        return SpinUntil([&] { return dlg.m_nFramesAccepted > before && !dlg.m_bBusy; }, 10000);
    }
};

TEST_F(QtReader, CloseAndReopenInsideANestedBoxWhileTheModuleSends) {
    ASSERT_TRUE(Status());
    // From here on the module's output comes in pieces of 1..3 bytes, so the
    // reader is in a hand-over most of the time.
    zsim::Faults f;
    f.chunkMax = 3;
    sim.SetFaults(f);
    ASSERT_TRUE(Status());

    int reopened = 0;
    bool answeredInside = false;
    QTimer::singleShot(0, [&] {
        // Inside the box's own loop: dumps stream in, the channel closes
        // under them and opens again, three times; a command is answered.
        for (int round = 0; round < 3; ++round) {
            for (int i = 0; i < 5; ++i) sim.SendUnsolicited('w');
            SpinUntil([] { return false; }, 5);
            dlg.OnOpen();
            if (dlg.m_strStatus == "COM1 connect") ++reopened;
            EXPECT_LE(CComm::LiveReaders(), 1);
        }
        answeredInside = Status();
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w)) box->accept();
    });
    host.MessageBox("nested", "", fw::MsgIcon::None);
    EXPECT_EQ(reopened, 3);
    EXPECT_TRUE(answeredInside);
    EXPECT_EQ(CComm::LiveReaders(), 1);

    // Traffic after the box: every dump and answer still handled whole.
    auto lines = [&] { return std::count(dlg.m_strRecv.begin(), dlg.m_strRecv.end(), '\n'); };
    const auto before = lines();
    for (int i = 0; i < 5; ++i) sim.SendUnsolicited('w');
    EXPECT_TRUE(SpinUntil([&] { return lines() >= before + 5; }, 10000));
    ASSERT_TRUE(Status());
    dlg.m_Comm.Close();
    EXPECT_EQ(CComm::LiveReaders(), 0);
}

// SIGTERM while a message box is open: the box closes, the window is ended as
// EXIT ends it, and the exit status is 128 + 15.
TEST_F(QtReader, SigtermEndsTheWindowAsExitDoes) {
    bool cancelled = false;
    fw::StopSignals stop([&] {
        cancelled = true;
        host.Cancel();
    });
    ASSERT_TRUE(stop.Installed());
    QTimer::singleShot(0, [] { std::raise(SIGTERM); });
    host.MessageBox("a box open when the signal comes", "", fw::MsgIcon::None);  // returns once closed
    EXPECT_EQ(stop.Caught(), SIGTERM);
    EXPECT_EQ(stop.ExitStatus(), 143);
    EXPECT_TRUE(cancelled);
}

}  // namespace
