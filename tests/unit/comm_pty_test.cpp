// The serial channel on real pseudo-terminals: the test plays the far end on
// the master side.
#include "framework/HeadlessHost.h"
#include "link/Comm.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

struct ChunkRecorder : fw::Window {
    CComm* comm = nullptr;
    std::vector<std::size_t> sizes;
    std::vector<std::uint8_t> bytes;
    void OnTimer(int) override {}
    std::intptr_t OnMessage(unsigned msg, std::uintptr_t, std::intptr_t) override {
        if (msg == WM_COMM_DATA) {
            sizes.push_back(comm->m_wRxLen);
            bytes.insert(bytes.end(), comm->m_RxBuf, comm->m_RxBuf + comm->m_wRxLen);
        }
        return 1;
    }
    void OnCommand(int) override {}
    void OnTabSelChange() override {}
    void OnCancel() override {}
    void OnAbout() override {}
};

struct Pty {
    int master = -1;
    std::string slave;
    Pty() {
        int s = -1;
        char name[128];
        if (openpty(&master, &s, name, nullptr, nullptr) == 0) {
            slave = name;
            termios t{};
            tcgetattr(s, &t);
            cfmakeraw(&t);
            tcsetattr(s, TCSANOW, &t);
            ::close(s);
        }
    }
    ~Pty() {
        if (master >= 0) ::close(master);
    }
};

struct CommPty : ::testing::Test {
    fw::HeadlessHost host;
    ChunkRecorder rec;
    CComm comm;
    Pty pty;
    void SetUp() override {
        ASSERT_FALSE(pty.slave.empty());
        rec.comm = &comm;
        host.SetWindow(&rec);
        comm.m_hNotifyWnd = &host;
        comm.InitOverlapped();
        PortMap map;
        map.Set(1, pty.slave);
        map.Set(2, "/nonexistent/tty");
        comm.SetPortMap(map);
    }
};

TEST_F(CommPty, PortAboveTenFailsWithoutADevice) {
    EXPECT_EQ(comm.Open(11, 9600, 8, 0, 0), 0);
    EXPECT_EQ(comm.m_bOpen, 0);
    EXPECT_EQ(comm.Open(2, 9600, 8, 0, 0), 0);
    EXPECT_STREQ(comm.m_szPort, "COM2");
}

TEST_F(CommPty, ABurstIsHandedOverInChunksOfEighty) {
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
    std::vector<std::uint8_t> data(200);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    ASSERT_EQ(::write(pty.master, data.data(), data.size()), 200);
    ASSERT_TRUE(host.PumpUntil([&] { return rec.bytes.size() >= 200; }));
    EXPECT_EQ(rec.bytes, data);
    for (auto s : rec.sizes) EXPECT_LE(s, 80u);
    comm.Close();
}

TEST_F(CommPty, BytesWaitingWhileAHandOverIsOpenComeInEightyEightyForty) {
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
    const std::uint8_t first = 0xAA;
    ASSERT_EQ(::write(pty.master, &first, 1), 1);
    // The reader has read the first byte and waits for the hand-over, so the
    // next 200 bytes are all waiting when it reads again.
    ASSERT_TRUE(host.WaitForCrossThreadRequest());
    std::vector<std::uint8_t> data(200);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    ASSERT_EQ(::write(pty.master, data.data(), data.size()), 200);
    ASSERT_TRUE(host.PumpUntil([&] { return rec.bytes.size() >= 201; }));
    EXPECT_EQ(rec.sizes, (std::vector<std::size_t>{1, 80, 80, 40}));
    data.insert(data.begin(), first);
    EXPECT_EQ(rec.bytes, data);
    comm.Close();
}

TEST_F(CommPty, OneByteIsOneChunk) {
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
    const std::uint8_t b = 0x06;
    ASSERT_EQ(::write(pty.master, &b, 1), 1);
    ASSERT_TRUE(host.PumpUntil([&] { return !rec.sizes.empty(); }));
    EXPECT_EQ(rec.sizes, (std::vector<std::size_t>{1}));
}

TEST_F(CommPty, WritesReachTheFarEndAndTheLineIsRaw) {
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
    const std::uint8_t frame[] = {0x04, 0x30, 0x02, 0x50, 0x03, 0x65, 0x11, 0x13, 0x0D, 0x0A};
    comm.Write(frame, sizeof frame);
    std::uint8_t got[sizeof frame] = {};
    std::size_t n = 0;
    for (int i = 0; i < 100 && n < sizeof frame; ++i) {
        const ssize_t r = ::read(pty.master, got + n, sizeof frame - n);
        if (r > 0) n += static_cast<std::size_t>(r);
    }
    ASSERT_EQ(n, sizeof frame);
    EXPECT_TRUE(std::equal(frame, frame + sizeof frame, got));
    termios t{};
    ASSERT_EQ(tcgetattr(comm.m_hComm, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
}

TEST_F(CommPty, AHeldPortCannotBeOpenedAgain) {
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
    CComm other;
    other.SetPortMap(comm.GetPortMap());
    other.m_hNotifyWnd = &host;
    EXPECT_EQ(other.Open(1, 9600, 8, 0, 0), 0);
}

TEST_F(CommPty, ReopenLeavesOneReaderAndCloseEndsIt) {
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
    EXPECT_EQ(CComm::LiveReaders(), 1);
    comm.Close();
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
    EXPECT_EQ(CComm::LiveReaders(), 1);
    comm.Close();
    EXPECT_EQ(CComm::LiveReaders(), 0);
    EXPECT_EQ(comm.m_bOpen, 0);
}

TEST_F(CommPty, OpenOnAnOpenChannelReleasesTheEarlierPort) {
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
    const int first = comm.m_hComm;
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);  // no Close in between
    EXPECT_EQ(CComm::LiveReaders(), 1);
    EXPECT_EQ(::fcntl(first, F_GETFD) == -1 || first == comm.m_hComm, true);
    comm.Close();
    EXPECT_EQ(CComm::LiveReaders(), 0);
}

TEST_F(CommPty, RefusedLineSettingsLeaveThePortReleased) {
    EXPECT_EQ(comm.Open(1, 12345, 8, 0, 0), 0);  // no termios speed for this rate
    EXPECT_EQ(comm.m_bOpen, 0);
    EXPECT_EQ(comm.m_hComm, -1);
    EXPECT_EQ(CComm::LiveReaders(), 0);
    EXPECT_NE(comm.Open(1, 9600, 8, 0, 0), 0);  // the lock was released with the port
    comm.Close();
}

TEST_F(CommPty, CloseDuringAWaitingHandOverReturns) {
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
    const std::uint8_t b = 0x41;
    ASSERT_EQ(::write(pty.master, &b, 1), 1);
    ASSERT_TRUE(host.WaitForCrossThreadRequest());  // the reader now waits in its hand-over
    comm.Close();                                   // never pumped: must not deadlock
    EXPECT_EQ(CComm::LiveReaders(), 0);
    host.Pump();  // the abandoned request finds nothing to do
    EXPECT_TRUE(rec.sizes.empty());
}

TEST_F(CommPty, AVanishedFarEndDoesNotMakeTheReaderSpin) {
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
    ::close(pty.master);
    pty.master = -1;
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    getrusage(RUSAGE_SELF, &after);
    auto us = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000L + r.ru_utime.tv_usec + r.ru_stime.tv_usec;
    };
    EXPECT_LT(us(after) - us(before), 60000);  // under 10 % of a core
    comm.Close();
}

}  // namespace
