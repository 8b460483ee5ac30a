// Sharing a port: UUCP lock files in a temporary lock directory, and the look
// through /proc for other holders, on a fake tree and on a real child process.
#include "link/PortError.h"
#include "link/PortLock.h"

#include "HoldingProcess.h"
#include "TempTree.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr int kNoSuchPid = 999999999;  // above any pid_max

TEST(PortLock, LockFileNames) {
    const std::pair<const char*, const char*> cases[] = {
        {"/dev/ttyUSB0", "LCK..ttyUSB0"},
        {"/dev/pts/3", "LCK..pts_3"},
        {"/dev/serial/x", "LCK..serial_x"},
        {"/tmp/dir/port", "LCK..port"},
    };
    for (const auto& [dev, name] : cases) EXPECT_EQ(portlock::LockFileName(dev), name) << dev;
}

TEST(PortLock, PidFormatsReadAndWritten) {
    EXPECT_EQ(portlock::FormatLockPid(1234), "      1234\n");
    EXPECT_EQ(portlock::FormatLockPid(1234).size(), 11u);
    int binary = 4321;
    const std::string bin(reinterpret_cast<const char*>(&binary), sizeof binary);
    const std::pair<std::string, int> cases[] = {
        {"      1234\n", 1234}, {"1234\n", 1234}, {"1234", 1234}, {"  77", 77}, {bin, 4321},
        {"", 0},     {"\n", 0},    {"abc\n", 0},   {"12 34\n", 0},   {"12\n\n", 0},
        {"9999999999\n", 0},  // ten digits: no pid is that large
        {std::string("\0\0\0\0", 4), 0},
    };
    for (const auto& [text, pid] : cases) EXPECT_EQ(portlock::ParseLockPid(text), pid) << text;
}

struct LockDir : ::testing::Test {
    TempTree tree;
    std::string dir = tree.Path("lock");
    const std::string dev = "/dev/ttyUSB7";
    std::string file = dir + "/LCK..ttyUSB7";
    void SetUp() override { ASSERT_TRUE(tree.MakeDir("lock")); }
};

TEST_F(LockDir, TakenHeldReleased) {
    portlock::UucpLock a, b;
    portlock::Holder h;
    ASSERT_EQ(a.Acquire(dir, dev, h), portlock::UucpLock::Result::Taken);
    EXPECT_EQ(TempTree::Read(file), portlock::FormatLockPid(getpid()));
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);  // every program may read who holds it
    EXPECT_EQ(b.Acquire(dir, dev, h), portlock::UucpLock::Result::Held);
    EXPECT_EQ(h.pid, getpid());
    EXPECT_EQ(b.LastPath(), file);
    a.Release();
    EXPECT_FALSE(TempTree::Exists(file));
    EXPECT_EQ(b.Acquire(dir, dev, h), portlock::UucpLock::Result::Taken);
}

TEST_F(LockDir, ALiveOwnerHoldsAStaleOneIsTakenOver) {
    portlock::UucpLock lock;
    portlock::Holder h;
    ASSERT_TRUE(TempTree::Write(file, portlock::FormatLockPid(1)));  // init never ends
    EXPECT_EQ(lock.Acquire(dir, dev, h), portlock::UucpLock::Result::Held);
    EXPECT_EQ(h.pid, 1);
    ASSERT_TRUE(TempTree::Write(file, portlock::FormatLockPid(kNoSuchPid)));
    EXPECT_EQ(lock.Acquire(dir, dev, h), portlock::UucpLock::Result::Taken);
    EXPECT_EQ(TempTree::Read(file), portlock::FormatLockPid(getpid()));
}

TEST_F(LockDir, UnreadableContentsCountAsHeld) {
    portlock::UucpLock lock;
    portlock::Holder h;
    ASSERT_TRUE(TempTree::Write(file, "garbage"));
    EXPECT_EQ(lock.Acquire(dir, dev, h), portlock::UucpLock::Result::Held);
    EXPECT_EQ(h.pid, 0);
    EXPECT_EQ(TempTree::Read(file), "garbage");  // not ours to remove
}

TEST_F(LockDir, NoLockDirectoryMeansNoLockNotRefusal) {
    portlock::UucpLock lock;
    portlock::Holder h;
    EXPECT_EQ(lock.Acquire(dir + "/missing", dev, h), portlock::UucpLock::Result::NoLock);
    EXPECT_EQ(lock.Error(), ENOENT);
    EXPECT_FALSE(lock.Owned());
}

TEST_F(LockDir, ReleaseLeavesAFileThatIsNoLongerOurs) {
    portlock::UucpLock lock;
    portlock::Holder h;
    ASSERT_EQ(lock.Acquire(dir, dev, h), portlock::UucpLock::Result::Taken);
    ASSERT_TRUE(TempTree::Write(file, portlock::FormatLockPid(1)));  // someone broke in
    lock.Release();
    EXPECT_EQ(TempTree::Read(file), portlock::FormatLockPid(1));
}

// A refusal whose holder was not found: an ordinary user is told that the
// program cannot be seen; root, who sees every process, that it had most
// likely just closed the port.
TEST(PortError, AHolderNotFoundIsToldAsThisUserCanKnowIt) {
    const struct {
        bool exclusive, seesEveryProcess;
        const char* said;
        const char* notSaid;
    } cases[] = {
        {false, false, "(which one cannot be seen as this user)", "Try again"},
        {true, false, "left its exclusive flag set", "Try again"},
        {false, true, "has most likely just closed it. Try again.", "cannot be seen"},
        {true, true, "has most likely just closed it. Try again.", "exclusive flag"},
    };
    for (const auto& c : cases) {
        PortOpenError e;
        e.fault = PortFault::InUse;
        e.path = "/dev/ttyUSB0";
        e.exclusive = c.exclusive;
        e.seesEveryProcess = c.seesEveryProcess;
        const std::string text = DescribeOpenError(e);
        EXPECT_NE(text.find(c.said), std::string::npos) << text;
        EXPECT_EQ(text.find(c.notSaid), std::string::npos) << text;
    }
}

TEST(PortHolders, FakeProcTree) {
    TempTree t;
    ASSERT_TRUE(t.MakeDir("proc/100/fd") && t.MakeDir("proc/200/fd") && t.MakeDir("proc/300/fd") &&
                t.MakeDir("proc/self/fd") && t.MakeDir("proc/4x/fd"));
    ASSERT_TRUE(t.Link("proc/100/fd/0", "/dev/null") && t.Link("proc/100/fd/3", "/dev/ttyUSB1"));
    ASSERT_TRUE(t.Link("proc/200/fd/5", "/dev/ttyUSB0") && t.WriteFile("proc/200/comm", "minicom\n"));
    ASSERT_TRUE(t.Link("proc/300/fd/7", "/dev/ttyUSB0"));  // this process, below
    ASSERT_TRUE(t.Link("proc/self/fd/9", "/dev/ttyUSB2") && t.Link("proc/4x/fd/9", "/dev/ttyUSB2"));
    const std::string proc = t.Path("proc");
    auto h = portlock::FindOtherHolder("/dev/ttyUSB0", proc, 300);
    ASSERT_TRUE(h.has_value());
    EXPECT_EQ(h->pid, 200);
    EXPECT_EQ(h->name, "minicom");
    EXPECT_EQ(portlock::FindOtherHolder("/dev/ttyUSB0", proc, 200)->pid, 300);
    EXPECT_EQ(portlock::FindOtherHolder("/dev/ttyUSB0", proc, 200)->name, "");  // no comm file
    EXPECT_FALSE(portlock::FindOtherHolder("/dev/ttyUSB2", proc, 1).has_value());  // not pids
    EXPECT_FALSE(portlock::FindOtherHolder("/dev/ttyUSB9", proc, 1).has_value());
    EXPECT_FALSE(portlock::FindOtherHolder("/dev/ttyUSB0", t.Path("nowhere"), 1).has_value());
}

TEST(PortHolders, AnotherProcessHoldingAPseudoTerminalIsFound) {
    int master = -1, slave = -1;
    char name[128] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    close(slave);
    EXPECT_FALSE(portlock::FindOtherHolder(name).has_value());
    {
        HoldingProcess child(name);
        ASSERT_GT(child.pid, 0);
        auto h = portlock::FindOtherHolder(name);
        ASSERT_TRUE(h.has_value());
        EXPECT_EQ(h->pid, child.pid);
        EXPECT_FALSE(h->name.empty());
    }
    close(master);
}

}  // namespace
