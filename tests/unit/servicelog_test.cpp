// Service log capture: the password prompt, the creation of the log file once
// per run, its name, and the text written for each '~' frame.
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"
#include "link/LinkFrame.h"
#include "servicelog/LogFile.h"

#include "CaptureWriter.h"
#include "TestPlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

// A '~' frame: SOH '0' '0' '~' payload ETX BCC.
Bytes LogFrame(const std::string& payload) {
    Bytes f;
    f.reserve(payload.size() + 6);
    for (std::uint8_t b : {proto::SOH, std::uint8_t{'0'}, std::uint8_t{'0'}, std::uint8_t{'~'}})
        f.push_back(b);
    for (char c : payload) f.push_back(static_cast<std::uint8_t>(c));
    f.push_back(proto::ETX);
    f.push_back(proto::Xor(f.data(), f.size()));
    return f;
}

std::string Payload(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<char>('A' + i % 26);
    return s;
}

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Each test works in a fresh directory of its own as the current directory.
class ServiceLog : public ::testing::Test {
protected:
    void SetUp() override {
        m_old = fs::current_path();
        m_dir = testplat::MakeTempDir("servicelog_");
        ASSERT_FALSE(m_dir.empty());
        fs::current_path(m_dir);
        host.m_localTime.tm_year = 107;  // 5 March 2007, 14:07:09
        host.m_localTime.tm_mon = 2;
        host.m_localTime.tm_mday = 5;
        host.m_localTime.tm_hour = 14;
        host.m_localTime.tm_min = 7;
        host.m_localTime.tm_sec = 9;
        dlg.m_pWriter = &writer;
        dlg.m_bLinked = 1;
    }
    void TearDown() override {
        if (dlg.m_hLogFile) std::fclose(dlg.m_hLogFile);
        dlg.m_hLogFile = nullptr;
        fs::current_path(m_old);
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    void AnswerPassword(std::optional<std::string> pw) {
        host.m_answerPrompt = [pw](std::string_view) { return pw; };
    }
    std::vector<fs::path> Files() const {
        std::vector<fs::path> v;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(m_dir, ec)) v.push_back(e.path().filename());
        std::sort(v.begin(), v.end());
        return v;
    }
    // Host frames written (the LOG request is 04 30 02 7E 30 03 BCC).
    int LogSends() const {
        int n = 0;
        for (const auto& w : writer.writes)
            if (w.size() >= 4 && w[0] == proto::EOT && w[3] == '~') ++n;
        return n;
    }

    fs::path m_old, m_dir;
    fw::HeadlessHost host;
    CConsoleDlg dlg{host};
    CaptureWriter writer;
};

TEST(ServiceLogFormat, PayloadsWrittenExactly) {
    const std::string end = "\r\n---END\r\n";
    const std::string p72 = Payload(72), p144 = Payload(144);
    struct Case { std::size_t n; std::string expect; };  // payload size, file text
    const std::vector<Case> cases = {
        {0, end},
        {16, Payload(16) + end},
        {72, p72 + "\r\n" + end},
        {144, p144.substr(0, 72) + "\r\n" + p144.substr(72) + "\r\n" + end},
        {13, Payload(13) + end},  // a short tail: its 5 bytes, no padding
        {76, Payload(76) .substr(0, 72) + "\r\n" + Payload(76).substr(72) + end},
        {3, Payload(3) + end},
    };
    for (const auto& c : cases) {
        const Bytes f = LogFrame(Payload(c.n));
        EXPECT_EQ(servicelog::FormatFrame(f.data(), f.size()), c.expect) << c.n;
    }
}

TEST(ServiceLogFormat, TooShortFrameGivesOnlyTheEndLine) {
    const Bytes f{proto::SOH, '0', '0', '~', proto::ETX};
    for (std::size_t n = 0; n <= f.size(); ++n)
        EXPECT_EQ(servicelog::FormatFrame(f.data(), n), "\r\n---END\r\n");
}

TEST(ServiceLogFormat, NameFromLocalTime) {
    std::tm t{};
    t.tm_year = 107, t.tm_mon = 2, t.tm_mday = 5, t.tm_hour = 14, t.tm_min = 7, t.tm_sec = 9;
    EXPECT_EQ(servicelog::BaseName(t), "070305_140709");
    t.tm_year = 126, t.tm_mon = 11, t.tm_mday = 31, t.tm_hour = 23, t.tm_min = 59, t.tm_sec = 58;
    EXPECT_EQ(servicelog::BaseName(t), "261231_235958");
}

TEST_F(ServiceLog, WrongPasswordThenRight) {
    AnswerPassword("RINQ");
    dlg.OnLog();
    EXPECT_EQ(host.m_prompts, std::vector<std::string>{"Enter Password"});
    EXPECT_EQ(dlg.m_bLogUnlocked, 0);
    EXPECT_EQ(dlg.m_hLogFile, nullptr);
    EXPECT_TRUE(Files().empty());
    EXPECT_EQ(LogSends(), 0);
    EXPECT_TRUE(host.m_boxes.empty());
    const std::string wrong = "LOG: wrong password; the module's log was not asked for.\r\n";
    EXPECT_EQ(dlg.m_strRecv, wrong);  // said where the technician reads

    AnswerPassword(std::nullopt);  // cancelled: nothing to say
    dlg.OnLog();
    EXPECT_EQ(dlg.m_bLogUnlocked, 0);
    EXPECT_TRUE(Files().empty());
    EXPECT_EQ(dlg.m_strRecv, wrong);

    AnswerPassword("rinq");
    dlg.OnLog();
    EXPECT_EQ(dlg.m_bLogUnlocked, 1);
    ASSERT_NE(dlg.m_hLogFile, nullptr);
    EXPECT_EQ(Files(), std::vector<fs::path>{"070305_140709.txt"});
    EXPECT_EQ(LogSends(), 1);
    // The file written is named.
    EXPECT_EQ(dlg.m_strRecv,
              wrong + "LOG: the module's log goes to " + (m_dir / "070305_140709.txt").make_preferred().string() + "\r\n");
}

TEST_F(ServiceLog, LaterPressesNeitherAskNorCreate) {
    AnswerPassword("rinq");
    dlg.OnLog();
    std::FILE* first = dlg.m_hLogFile;
    ASSERT_NE(first, nullptr);
    const Bytes f = LogFrame(Payload(16));
    dlg.WriteLogFrame(f.data(), f.size());

    host.m_localTime.tm_sec = 30;
    dlg.m_bBusy = 0;
    AnswerPassword("wrong");
    dlg.OnLog();
    EXPECT_EQ(host.m_prompts.size(), 1u);
    EXPECT_EQ(dlg.m_hLogFile, first);
    EXPECT_EQ(LogSends(), 2);
    dlg.WriteLogFrame(f.data(), f.size());
    EXPECT_EQ(Files(), std::vector<fs::path>{"070305_140709.txt"});
    const std::string one = Payload(16) + "\r\n---END\r\n";
    EXPECT_EQ(ReadFile(m_dir / "070305_140709.txt"), one + one);  // flushed per frame
}

TEST_F(ServiceLog, BusyBlocksThePrompt) {
    AnswerPassword("rinq");
    dlg.m_bBusy = 1;
    dlg.OnLog();
    EXPECT_TRUE(host.m_prompts.empty());
    EXPECT_EQ(dlg.m_hLogFile, nullptr);
    EXPECT_EQ(LogSends(), 0);
}

TEST_F(ServiceLog, FrameBeforeAnyAcceptedLogWritesNothing) {
    const Bytes f = LogFrame(Payload(16));
    dlg.WriteLogFrame(f.data(), f.size());
    EXPECT_TRUE(Files().empty());
    EXPECT_TRUE(host.m_boxes.empty());
}

TEST_F(ServiceLog, SameSecondNameIsNotEmptied) {
    { std::ofstream(m_dir / "070305_140709.txt", std::ios::binary) << "earlier run"; }
    { std::ofstream(m_dir / "070305_140709_1.txt", std::ios::binary) << "and another"; }
    AnswerPassword("rinq");
    dlg.OnLog();
    ASSERT_NE(dlg.m_hLogFile, nullptr);
    EXPECT_EQ(dlg.m_strLogPath, (m_dir / "070305_140709_2.txt").make_preferred().string());
    EXPECT_EQ(ReadFile(m_dir / "070305_140709.txt"), "earlier run");
    EXPECT_EQ(ReadFile(m_dir / "070305_140709_1.txt"), "and another");
}

// The current directory is removed under the console: no file can be created
// there, not even by root.
TEST_F(ServiceLog, UncreatableFileIsReportedAndRetried) {
    const fs::path gone = m_dir / "gone";
    fs::create_directory(gone);
    fs::current_path(gone);
    std::error_code ec;
    if (!fs::remove(gone, ec)) {
        fs::current_path(m_dir);
        GTEST_SKIP() << "this system keeps a current folder from being removed";
    }
    AnswerPassword("rinq");
    dlg.OnLog();
    EXPECT_EQ(dlg.m_hLogFile, nullptr);
    EXPECT_EQ(LogSends(), 0);
    ASSERT_EQ(host.m_boxes.size(), 1u);
    EXPECT_EQ(host.m_boxes[0].caption, host.AppTitle());
    EXPECT_EQ(host.m_boxes[0].icon, fw::MsgIcon::Stop);
    EXPECT_EQ(dlg.m_bBusy, 0);

    fs::current_path(m_dir);
    dlg.OnLog();  // unlocked already: no second prompt, and this time a file
    EXPECT_EQ(host.m_prompts.size(), 1u);
    EXPECT_NE(dlg.m_hLogFile, nullptr);
    EXPECT_EQ(LogSends(), 1);
}

// A file whose writes fail (the full device): told once, later frames not saved.
TEST_F(ServiceLog, FailedWriteToldOnce) {
    std::FILE* full = std::fopen("/dev/full", "wb");
    if (!full) GTEST_SKIP() << "no /dev/full on this system";
    dlg.m_bLogUnlocked = 1;
    dlg.m_hLogFile = full;
    dlg.m_strLogPath = "/dev/full";
    const Bytes f = LogFrame(Payload(16));
    dlg.WriteLogFrame(f.data(), f.size());
    dlg.WriteLogFrame(f.data(), f.size());
    EXPECT_TRUE(dlg.m_bLogWriteFailed);
    ASSERT_EQ(host.m_boxes.size(), 1u);
    EXPECT_NE(host.m_boxes[0].text.find("/dev/full"), std::string::npos);
    EXPECT_EQ(host.m_boxes[0].icon, fw::MsgIcon::Warning);
}

}  // namespace
