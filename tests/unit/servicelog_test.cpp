// The service log: password once per run, one file per run created at the
// first accepted LOG, and the exact layout of every '~' frame in it.
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct Capture : CByteWriter {
    std::vector<Bytes> writes;
    int Write(const std::uint8_t* p, std::uint32_t n) override {
        writes.emplace_back(p, p + n);
        return 1;
    }
};

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct ServiceLog : ::testing::Test {
    fw::HeadlessHost host;
    CConsoleDlg dlg{host};
    Capture cap;
    fs::path old, dir;
    std::string answer = "rinq";
    void SetUp() override {
        old = fs::current_path();
        dir = fs::temp_directory_path() / ("zantu_log_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        fs::current_path(dir);
        dlg.m_pWriter = &cap;
        host.m_answerPrompt = [this](std::string_view) { return std::optional<std::string>(answer); };
    }
    void TearDown() override {
        if (dlg.m_hLogFile) {
            std::fclose(dlg.m_hLogFile);
            dlg.m_hLogFile = nullptr;
        }
        fs::current_path(old);
        fs::remove_all(dir);
    }
    void LogFrame(std::size_t payload) {
        Bytes f = {0x01, '0', '0', '~'};
        for (std::size_t i = 0; i < payload; ++i) f.push_back(static_cast<std::uint8_t>('a' + i % 26));
        f.push_back(0x03);
        f.push_back(0x00);
        dlg.WriteLogFrame(f.data(), f.size());
    }
    std::string Payload(std::size_t n) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('a' + i % 26));
        return s;
    }
};

TEST_F(ServiceLog, FrameLayouts) {
    dlg.OnLog();
    ASSERT_NE(dlg.m_hLogFile, nullptr);
    EXPECT_EQ(fs::path(dlg.m_strLogPath).filename(), "070305_140709.txt");
    const std::string end = "\r\n---END\r\n";
    std::string want;
    struct Case {
        std::size_t payload;
        std::string text;
    };
    const std::string p72 = Payload(72), p144 = Payload(144);
    const Case cases[] = {
        {0, end},
        {16, Payload(16) + end},
        {72, p72 + "\r\n" + end},
        {144, p144.substr(0, 72) + "\r\n" + p144.substr(72) + "\r\n" + end},
        {13, Payload(13) + end},
    };
    for (const auto& c : cases) {
        LogFrame(c.payload);
        want += c.text;
        EXPECT_EQ(Slurp(dlg.m_strLogPath), want) << c.payload;
    }
}

TEST_F(ServiceLog, WrongPasswordThenRight) {
    answer = "RINQ";
    dlg.OnLog();
    EXPECT_EQ(dlg.m_hLogFile, nullptr);
    EXPECT_TRUE(cap.writes.empty());
    EXPECT_TRUE(fs::is_empty(dir));
    answer = "rinq";
    dlg.OnLog();
    ASSERT_NE(dlg.m_hLogFile, nullptr);
    ASSERT_EQ(cap.writes.size(), 1u);
    EXPECT_EQ(cap.writes[0], (Bytes{0x04, 0x30, 0x02, 0x7E, 0x30, 0x03, 0x7B}));
    EXPECT_EQ(host.m_prompts.size(), 2u);
    // Later presses neither ask again nor create another file.
    std::FILE* first = dlg.m_hLogFile;
    dlg.m_bBusy = 0;
    host.m_localTime.tm_sec = 30;
    dlg.OnLog();
    EXPECT_EQ(host.m_prompts.size(), 2u);
    EXPECT_EQ(dlg.m_hLogFile, first);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(ServiceLog, BusyShowsNoPrompt) {
    dlg.m_bBusy = 1;
    dlg.OnLog();
    EXPECT_TRUE(host.m_prompts.empty());
    EXPECT_TRUE(cap.writes.empty());
}

TEST_F(ServiceLog, ATakenNameIsNeverEmptied) {
    { std::ofstream(dir / "070305_140709.txt") << "earlier run"; }
    dlg.OnLog();
    ASSERT_NE(dlg.m_hLogFile, nullptr);
    EXPECT_EQ(fs::path(dlg.m_strLogPath).filename(), "070305_140709_1.txt");
    EXPECT_EQ(Slurp(dir / "070305_140709.txt"), "earlier run");
}

TEST_F(ServiceLog, ADirectoryThatCannotBeWrittenIsReportedAndNothingSent) {
    // A directory that no longer exists cannot take a file, even for root.
    fs::path gone = dir / "gone";
    fs::create_directories(gone);
    fs::current_path(gone);
    fs::remove(gone);
    dlg.OnLog();
    EXPECT_EQ(dlg.m_hLogFile, nullptr);
    EXPECT_TRUE(cap.writes.empty());
    ASSERT_EQ(host.m_boxes.size(), 1u);
    EXPECT_EQ(host.m_boxes[0].icon, fw::MsgIcon::Stop);
    // The next press tries again, without asking for the password.
    fs::current_path(dir);
    dlg.OnLog();
    EXPECT_NE(dlg.m_hLogFile, nullptr);
    EXPECT_EQ(cap.writes.size(), 1u);
    EXPECT_EQ(host.m_prompts.size(), 1u);
}

TEST_F(ServiceLog, AFrameBeforeAnyFileWritesNothing) {
    LogFrame(16);
    EXPECT_TRUE(fs::is_empty(dir));
}

}  // namespace
