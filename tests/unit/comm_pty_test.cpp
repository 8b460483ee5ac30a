// The serial channel on real pseudo-terminals: the test plays the far end on
// the master side.
#include "HoldingProcess.h"
#include "TempTree.h"
#include "ChunkRecorder.h"
#include "framework/HeadlessHost.h"
#include "link/Comm.h"

#include <gtest/gtest.h>

#include "Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <climits>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

// Reads from fd until n bytes came or the time limit passed.
std::vector<std::uint8_t> ReadFor(int fd, std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::vector<std::uint8_t> got;
    const auto end = std::chrono::steady_clock::now() + limit;
    std::uint8_t buf[4096];
    while (got.size() < n && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const ssize_t r = ::read(fd, buf, sizeof buf);
        if (r > 0) got.insert(got.end(), buf, buf + r);
    }
    return got;
}

// Whether the terminal's exclusive flag is set, seen through a new descriptor.
int ExclusiveFlag(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;  // an ordinary user meets a left-over flag here
    int v = -1;
    if (::ioctl(fd, TIOCGEXCL, &v) != 0) v = -1;
    ::close(fd);
    return v;
}

struct CommPty : ::testing::Test {
    fw::HeadlessHost host;
    ChunkRecorder rec;
    CComm comm;
    Pty pty;
    TempTree tree;
    std::string lockFile;
    void SetUp() override {
        ASSERT_FALSE(pty.slave.empty());
        ASSERT_TRUE(tree.MakeDir("lock"));
        comm.SetLockDir(tree.Path("lock"));
        char real[PATH_MAX];
        ASSERT_NE(::realpath(pty.slave.c_str(), real), nullptr);
        lockFile = tree.Path("lock/") + portlock::LockFileName(real);
        rec.comm = &comm;
        host.SetWindow(&rec);
        comm.SetNotifyWindow(&host);
        comm.InitOverlapped();
        PortMap map;
        map.Set(1, pty.slave);
        map.Set(2, "/nonexistent/tty");
        comm.SetPortMap(map);
    }
};

TEST_F(CommPty, PortAboveTenFailsWithoutADevice) {
    EXPECT_EQ(comm.Open(11, 9600, 8, 0, 0), 0);
    EXPECT_EQ(comm.IsOpen(), 0);
    EXPECT_EQ(comm.Open(2, 9600, 8, 0, 0), 0);
    EXPECT_STREQ(comm.PortName(), "COM2");
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
    ASSERT_EQ(tcgetattr(comm.Handle(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
}

TEST_F(CommPty, AHeldPortCannotBeOpenedAgain) {
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
    CComm other;
    other.SetPortMap(comm.GetPortMap());
    other.SetNotifyWindow(&host);
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
    EXPECT_EQ(comm.IsOpen(), 0);
}

TEST_F(CommPty, OpenOnAnOpenChannelReleasesTheEarlierPort) {
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
    const int first = comm.Handle();
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);  // no Close in between
    EXPECT_EQ(CComm::LiveReaders(), 1);
    EXPECT_EQ(::fcntl(first, F_GETFD) == -1 || first == comm.Handle(), true);
    comm.Close();
    EXPECT_EQ(CComm::LiveReaders(), 0);
}

TEST_F(CommPty, RefusedLineSettingsLeaveThePortReleased) {
    EXPECT_EQ(comm.Open(1, 12345, 8, 0, 0), 0);  // no termios speed for this rate
    EXPECT_EQ(comm.IsOpen(), 0);
    EXPECT_EQ(comm.Handle(), -1);
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

TEST_F(CommPty, NothingAnEarlierProgramSetStaysAndBytesPassAsTheyCame) {
    {
        const int fd = ::open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios t{};
        ASSERT_EQ(tcgetattr(fd, &t), 0);
        t.c_iflag |= INPCK | IGNPAR | PARMRK | ISTRIP | ICRNL | INLCR | IXON | IXOFF | BRKINT;
        t.c_oflag |= OPOST | ONLCR;
        t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
        t.c_cflag |= CRTSCTS | PARENB;
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
        ::close(fd);
    }
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
    termios t{};
    ASSERT_EQ(tcgetattr(comm.Handle(), &t), 0);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cflag & (CRTSCTS | PARENB | CSTOPB), 0u);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    // 0xFF would come doubled with PARMRK, 0x0D as 0x0A with ICRNL, 0x80 as 0x00 with ISTRIP.
    const std::vector<std::uint8_t> bytes = {0xFF, 0x0D, 0x0A, 0x00, 0x11, 0x13, 0x7F, 0x80, 0x03, 0x04};
    ASSERT_EQ(::write(pty.master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ASSERT_TRUE(host.PumpUntil([&] { return rec.bytes.size() >= bytes.size(); }));
    EXPECT_EQ(rec.bytes, bytes);
    EXPECT_EQ(comm.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size())), 1);
    EXPECT_EQ(ReadFor(pty.master, bytes.size()), bytes);  // 0x0A not turned into 0x0D 0x0A
}

TEST_F(CommPty, TheExclusiveFlagIsClearedAtEveryClose) {
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
    int v = 0;
    ASSERT_EQ(::ioctl(comm.Handle(), TIOCGEXCL, &v), 0);
    EXPECT_EQ(v, 1);
    comm.Close();
    EXPECT_EQ(ExclusiveFlag(pty.slave), 0);
    EXPECT_NE(comm.Open(1, 9600, 8, 0, 0), 0);  // as an ordinary user too, with the far end still open
    comm.Close();
    EXPECT_EQ(comm.Open(1, 12345, 8, 0, 0), 0);  // refused settings: closed on the failure path
    EXPECT_EQ(comm.LastOpenError().fault, PortFault::SettingsRefused);
    EXPECT_EQ(ExclusiveFlag(pty.slave), 0);
    EXPECT_FALSE(TempTree::Exists(lockFile));
}

TEST_F(CommPty, LockFileWhileOpenRefusedWhenHeldTakenOverWhenStale) {
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
    EXPECT_EQ(TempTree::Read(lockFile), portlock::FormatLockPid(getpid()));
    comm.Close();
    EXPECT_FALSE(TempTree::Exists(lockFile));

    ASSERT_TRUE(TempTree::Write(lockFile, portlock::FormatLockPid(1)));  // a live process
    EXPECT_EQ(comm.Open(1, 9600, 8, 0, 0), 0);
    EXPECT_EQ(comm.Handle(), -1);
    EXPECT_EQ(comm.LastOpenError().fault, PortFault::InUse);
    EXPECT_EQ(comm.LastOpenError().holder.pid, 1);
    EXPECT_EQ(comm.LastOpenError().lockFile, lockFile);
    EXPECT_EQ(TempTree::Read(lockFile), portlock::FormatLockPid(1));  // left alone

    ASSERT_TRUE(TempTree::Write(lockFile, portlock::FormatLockPid(999999999)));  // its process is gone
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
    EXPECT_EQ(TempTree::Read(lockFile), portlock::FormatLockPid(getpid()));
    comm.Close();
}

TEST_F(CommPty, NoWritableLockDirectoryStillOpens) {
    comm.SetLockDir(tree.Path("missing"));
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
    comm.Close();
}

TEST_F(CommPty, AProgramHoldingThePortWithoutLocksIsNamed) {
    HoldingProcess other(pty.slave);
    ASSERT_GT(other.pid, 0);
    EXPECT_EQ(comm.Open(1, 9600, 8, 0, 0), 0);
    EXPECT_EQ(comm.LastOpenError().fault, PortFault::InUse);
    EXPECT_EQ(comm.LastOpenError().holder.pid, other.pid);
    EXPECT_FALSE(TempTree::Exists(lockFile));  // our lock went with the refusal
    EXPECT_NE(DescribeOpenError(comm.LastOpenError()).find("process " + std::to_string(other.pid)),
              std::string::npos);
}

TEST_F(CommPty, WriteNeverWaitsKeepsOrderAndDropsWholeWrites) {
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
    // Nobody reads the far end: the terminal's buffer fills, then the queue,
    // then writes are dropped.  Each block holds its own number.
    constexpr int kBlocks = 200;
    constexpr std::size_t kBlock = 1000;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBlocks; ++i) {
        const std::vector<std::uint8_t> block(kBlock, static_cast<std::uint8_t>(i));
        comm.Write(block.data(), kBlock);
        EXPECT_LE(comm.QueuedBytes(), CComm::kTxQueue);
    }
    // A write that waited for room (200 ms each before) would take far longer.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    const std::uint64_t dropped = comm.DroppedBytes();
    EXPECT_GT(dropped, 0u);
    const std::size_t expected = kBlocks * kBlock - dropped;
    const auto got = ReadFor(pty.master, expected, std::chrono::seconds(10));
    ASSERT_EQ(got.size(), expected);
    // In order: block numbers rise; only a block the port took part of is short.
    int last = -1;
    std::size_t run = 0, shortRuns = 0;
    for (std::size_t i = 0; i <= got.size(); ++i) {
        if (i < got.size() && static_cast<int>(got[i]) == last) {
            ++run;
            continue;
        }
        if (last >= 0 && run != kBlock) ++shortRuns;
        if (i == got.size()) break;
        EXPECT_GT(static_cast<int>(got[i]), last) << "at byte " << i;
        last = got[i];
        run = 1;
    }
    EXPECT_LE(shortRuns, 1u);
    EXPECT_EQ(comm.QueuedBytes(), 0u);
    comm.Close();
}

// Writes filler through the channel until the port takes no more and the
// rest waits in the queue (the far end reads nothing).
void FillUntilQueued(CComm& comm) {
    const std::vector<std::uint8_t> filler(1000, 'x');
    for (int i = 0; i < 1000 && comm.LastWrite().outcome != WriteOutcome::Queued; ++i)
        comm.Write(filler.data(), static_cast<std::uint32_t>(filler.size()));
}

bool Holds(const std::vector<std::uint8_t>& bytes, std::uint8_t b) {
    return std::find(bytes.begin(), bytes.end(), b) != bytes.end();
}

TEST_F(CommPty, AWriteThatCannotLeaveWithinTheWriteTimeOutIsDroppedNotSentLate) {
    const auto start = CComm::Clock::now();
    std::atomic<long long> ms{0};  // the reader reads it too
    comm.SetClock([&] { return start + std::chrono::milliseconds(ms.load()); });
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
    const std::uint8_t frame[] = {0x04, 0x30, 0x02, 0x52, 0x21, 0x20, 0x20, 0x20, 0x03, 0x44};
    ASSERT_EQ(comm.Write(frame, sizeof frame), 1);
    EXPECT_EQ(comm.LastWrite().outcome, WriteOutcome::Sent);
    EXPECT_EQ(ReadFor(pty.master, sizeof frame).size(), sizeof frame);

    FillUntilQueued(comm);
    ASSERT_EQ(comm.LastWrite().outcome, WriteOutcome::Queued);
    EXPECT_EQ(comm.Write(frame, sizeof frame), 0);
    EXPECT_EQ(comm.LastWrite().outcome, WriteOutcome::Queued);
    ms += CComm::kWriteTimeout.count();  // neither has left by its time-out
    const std::uint8_t ack = 0x06;
    comm.Write(&ack, 1);
    EXPECT_NE(comm.LastWrite().outcome, WriteOutcome::Dropped);  // sent or queued, as the port has room
    EXPECT_GE(comm.LastWrite().nStale, sizeof frame);  // the filler's rest and the frame
    // The far end reads again: the filler the port took, then only the ACK.
    const auto got = ReadFor(pty.master, SIZE_MAX, std::chrono::milliseconds(500));
    ASSERT_FALSE(got.empty());
    EXPECT_FALSE(Holds(got, 0x04));
    EXPECT_EQ(got.back(), ack);

    comm.Close();
    EXPECT_EQ(comm.Write(&ack, 1), 0);
    EXPECT_EQ(comm.LastWrite().outcome, WriteOutcome::Dropped);
    EXPECT_STREQ(comm.LastWrite().why, "the port is not open");
}

TEST_F(CommPty, CloseLetsTheLastWriteLeave) {
    const std::uint8_t ack = 0x06;
    for (int run = 0; run < 20; ++run) {
        ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
        comm.Write(&ack, 1);
        comm.Close();
        EXPECT_EQ(ReadFor(pty.master, 1, std::chrono::seconds(2)), std::vector<std::uint8_t>{ack}) << "run " << run;
    }
}

TEST_F(CommPty, AnExclusiveFlagLeftBehindIsNamedAndRootClearsIt) {
    {
        // A program that set the flag and ended without clearing it.
        const int fd = ::open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ioctl(fd, TIOCEXCL), 0);
        ::close(fd);
    }
    if (::geteuid() != 0) {
        EXPECT_EQ(comm.Open(1, 9600, 8, 0, 0), 0);
        EXPECT_EQ(comm.LastOpenError().fault, PortFault::InUse);
        const std::string why = DescribeOpenError(comm.LastOpenError());
        EXPECT_NE(why.find("ended without closing it has left its exclusive flag set"), std::string::npos) << why;
        EXPECT_NE(why.find("have root open and close it once"), std::string::npos) << why;
        return;
    }
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);  // root: nobody holds it, the flag is a left-over
    comm.Close();
    EXPECT_EQ(ExclusiveFlag(pty.slave), 0);
}

TEST_F(CommPty, ThroughALinkBothLockNamesAreCheckedAndTaken) {
    ASSERT_TRUE(tree.Link("by-id/usb-Adapter-if00", pty.slave));
    PortMap map;
    map.Set(1, tree.Path("by-id/usb-Adapter-if00"));
    comm.SetPortMap(map);
    const std::string alias = tree.Path("lock/") + portlock::LockFileName(tree.Path("by-id/usb-Adapter-if00"));
    ASSERT_NE(alias, lockFile);
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
    EXPECT_EQ(TempTree::Read(lockFile), portlock::FormatLockPid(getpid()));
    EXPECT_EQ(TempTree::Read(alias), portlock::FormatLockPid(getpid()));
    comm.Close();
    EXPECT_FALSE(TempTree::Exists(lockFile));
    EXPECT_FALSE(TempTree::Exists(alias));
    // Another program that locked the name as given holds the port.
    ASSERT_TRUE(TempTree::Write(alias, portlock::FormatLockPid(1)));
    EXPECT_EQ(comm.Open(1, 9600, 8, 0, 0), 0);
    EXPECT_EQ(comm.LastOpenError().lockFile, alias);
    EXPECT_FALSE(TempTree::Exists(lockFile));
}

// A program that opened the device by a stable name (minicom by its by-id
// name) locks that name only: opened by its device path, the port is still
// refused, whether sharing was allowed or not, and the console locks every
// name itself.
TEST_F(CommPty, TheLockOfEveryNameOfTheDeviceIsCheckedAndTaken) {
    ASSERT_TRUE(tree.Link("dev/serial/by-id/usb-Adapter-if00", pty.slave));
    ASSERT_TRUE(tree.Link("dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0", pty.slave));
    comm.SetDevRoot(tree.Path("dev"));
    const std::string byId = tree.Path("lock/") + portlock::LockFileName(tree.Path("dev/serial/by-id/usb-Adapter-if00"));
    const std::string byPath =
        tree.Path("lock/") + portlock::LockFileName(tree.Path("dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0"));
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
    for (const std::string& f : {lockFile, byId, byPath}) EXPECT_EQ(TempTree::Read(f), portlock::FormatLockPid(getpid())) << f;
    comm.Close();
    for (const std::string& f : {lockFile, byId, byPath}) EXPECT_FALSE(TempTree::Exists(f)) << f;

    for (const std::string& held : {byId, byPath})
        for (const bool shared : {false, true}) {
            ASSERT_TRUE(TempTree::Write(held, portlock::FormatLockPid(1)));  // a live process
            comm.SetShared(shared);
            EXPECT_EQ(comm.Open(1, 9600, 8, 0, 0), 0) << held << " shared " << shared;
            EXPECT_EQ(comm.LastOpenError().lockFile, held);
            EXPECT_FALSE(TempTree::Exists(lockFile));  // what was taken is given back
            EXPECT_EQ(TempTree::Read(held), portlock::FormatLockPid(1));
            std::remove(held.c_str());
        }
}

TEST_F(CommPty, AVanishedDeviceIsReportedOnceAndTheReaderEnds) {
    ASSERT_NE(comm.Open(1, 9600, 8, 0, 0), 0);
    ::close(pty.master);
    pty.master = -1;
    ASSERT_TRUE(host.PumpUntil([&] { return rec.lost == 1; }));
    // The reader's end sends no message: look every few milliseconds.
    for (int i = 0; i < 500 && CComm::LiveReaders() != 0; ++i) host.PumpUntil([] { return false; }, std::chrono::milliseconds(10));
    EXPECT_EQ(CComm::LiveReaders(), 0);
    EXPECT_EQ(rec.lost, 1);
    comm.ReleaseLost();
    EXPECT_EQ(comm.Handle(), -1);
    EXPECT_EQ(comm.IsOpen(), 0);
    EXPECT_FALSE(TempTree::Exists(lockFile));
    const std::uint8_t b = 0x05;
    EXPECT_EQ(comm.Write(&b, 1), 0);  // goes nowhere, waits for nothing
}

}  // namespace
