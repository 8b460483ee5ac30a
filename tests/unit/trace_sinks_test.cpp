// The wire trace's sinks: the bounded line store, and the trace file (append,
// a first line per run, the time of day, nothing lost when the writer is
// killed, clear failures, also as an ordinary user).
#include "trace/TraceSinks.h"

#include "TraceParse.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

trace::Line L(std::string_view text, std::uint8_t flags = 0) { return {0, flags, text}; }

TEST(LineStore, KeepsTheNewestLinesAndNumbersThemOnAfterClear) {
    EXPECT_GE(trace::LineStore().Capacity(), 100000u);
    trace::LineStore s(3);
    for (int i = 0; i < 5; ++i) s.Put(L("line " + std::to_string(i), static_cast<std::uint8_t>(i % 3)));
    EXPECT_EQ(s.Begin(), 2u);
    EXPECT_EQ(s.End(), 5u);
    EXPECT_EQ(s.Size(), 3u);
    EXPECT_EQ(s.Text(1), "");
    EXPECT_EQ(s.Text(2), "line 2");
    EXPECT_EQ(s.Text(4), "line 4");
    EXPECT_EQ(s.Flags(4), 1);
    EXPECT_EQ(s.Text(5), "");
    s.Clear();
    EXPECT_EQ(s.Size(), 0u);
    EXPECT_EQ(s.Text(4), "");
    s.Put(L("after"));
    EXPECT_EQ(s.Begin(), 5u);
    EXPECT_EQ(s.Text(5), "after");
    trace::LineStore one(0);  // no room asked for: one line
    one.Put(L("a"));
    one.Put(L("b"));
    EXPECT_EQ(one.Size(), 1u);
    EXPECT_EQ(one.Text(1), "b");
}

// Its text stays within its bytes: the oldest lines go first, each line is
// kept whole (one that would run past the ring's end starts at its beginning),
// and a line longer than the ring is cut to it.
TEST(LineStore, KeepsItsTextWithinItsBytesDroppingTheOldest) {
    trace::LineStore s(100, 32);
    EXPECT_EQ(s.TextCapacity(), 32u);
    for (int i = 0; i < 7; ++i) s.Put(L("line " + std::to_string(i) + "!", 1));  // 7 bytes each
    // Lines 0-3 took bytes 0-27; line 4 would run past 32, so it took 0-6 and line 0 went.
    // Then 5 took 7-13 (line 1 went) and 6 took 14-20 (line 2 went).
    EXPECT_EQ(s.Begin(), 3u);
    EXPECT_EQ(s.End(), 7u);
    for (std::uint64_t n = 3; n < 7; ++n) EXPECT_EQ(s.Text(n), "line " + std::to_string(n) + "!");
    EXPECT_EQ(s.Flags(6), 1);
    s.Put(L(std::string(40, 'x')));
    EXPECT_EQ(s.Size(), 1u);
    EXPECT_EQ(s.Text(7), std::string(32, 'x'));
    s.Put(L(""));
    EXPECT_EQ(s.Text(8), "");
    EXPECT_EQ(s.Size(), 2u);
}

struct TraceFile : ::testing::Test {
    fs::path dir;
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "zantu_tracefile_XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir, fs::perms::owner_all, ec);
        fs::remove_all(dir, ec);
    }
};

TEST_F(TraceFile, AppendsEachLineWithItsTimeOfDayAfterAFirstLinePerRun) {
    const std::string path = (dir / "t.txt").string();
    {
        std::ofstream(path) << "kept from before\n";
    }
    for (int run = 0; run < 2; ++run) {
        std::string error;
        auto f = trace::FileSink::Open(path, &error);
        ASSERT_TRUE(f) << error;
        f->Put(L("      0.000 TX 04 30 02 50 03 65 | STATUS (type 6)"));
        f->Put(L("     12.500 RX 06 | ACK"));
        EXPECT_EQ(f->LinesLost(), 0u);
    }
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string s; std::getline(in, s);) lines.push_back(s);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "kept from before");
    for (int run = 0; run < 2; ++run) {
        EXPECT_EQ(lines[1 + 3 * run].rfind("# wire trace started ", 0), 0u);
        const auto t = ParseTraceLine(lines[2 + 3 * run], true);
        ASSERT_TRUE(t) << lines[2 + 3 * run];
        EXPECT_EQ(t->what, "STATUS (type 6)");
        EXPECT_EQ(lines[3 + 3 * run].substr(13), "     12.500 RX 06 | ACK");
    }
}

TEST_F(TraceFile, LinesWrittenBeforeAKillAreInTheFile) {
    const std::string path = (dir / "killed.txt").string();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        auto f = trace::FileSink::Open(path, nullptr);
        if (!f) _exit(3);
        f->Put(L("      1.000 TX 06 | ACK"));
        f->Put(L("      2.000 TX 15 | NAK"));
        raise(SIGKILL);
        _exit(4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    const auto lines = ReadTraceFile(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].substr(13), "      2.000 TX 15 | NAK");
}

TEST_F(TraceFile, AFileThatCannotBeOpenedIsRefusedWithItsNameAndReason) {
    struct Case {  // path, words the error must hold
        std::string path;
        const char* reason;
    };
    const Case cases[] = {
        {(dir / "missing" / "t.txt").string(), "No such file or directory"},
        {dir.string(), "Is a directory"},
        {"", "No such file or directory"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(trace::FileSink::Open(c.path, &error)) << c.path;
        EXPECT_NE(error.find("'" + c.path + "'"), std::string::npos) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
}

// As an ordinary user (root drops to nobody), a folder without write permission.
TEST_F(TraceFile, AnOrdinaryUserIsRefusedAFolderNotTheirs) {
    const fs::path locked = dir / "locked";
    fs::create_directory(locked);
    // Nobody may write in it but root (which drops to nobody below).
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(dir, fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec);
    const std::string path = (locked / "t.txt").string();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(5);
        if (access(locked.c_str(), W_OK) == 0) _exit(6);  // a user that may write anywhere: no test
        std::string error;
        auto f = trace::FileSink::Open(path, &error);
        _exit(!f && error.find("Permission denied") != std::string::npos ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 6) GTEST_SKIP() << "this user may write in any folder";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(TraceFile, AFailedWriteIsCountedAndReportedOnce) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    std::string error;
    auto f = trace::FileSink::Open("/dev/full", &error);
    // The first line already cannot be written: refused at once.
    EXPECT_FALSE(f);
    EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;

    // A pipe whose reader stopped reading: lines are lost, not waited for.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string path = "/proc/self/fd/" + std::to_string(fds[1]);
    auto p = trace::FileSink::Open(path, &error);
    ASSERT_TRUE(p) << error;
    int reports = 0;
    std::string said;
    p->SetFailureReport([&](const std::string& s) {
        ++reports;
        said = s;
    });
    const std::string line(1000, 'x');
    for (int i = 0; i < 200; ++i) p->Put(L(line));  // 200 KB into a 64 KB pipe
    EXPECT_GT(p->LinesLost(), 0u);
    EXPECT_EQ(reports, 1);
    EXPECT_NE(said.find(path), std::string::npos) << said;
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
