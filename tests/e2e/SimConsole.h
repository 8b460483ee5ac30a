// The fixture of the end-to-end suites: the console core with its real serial
// channel on a pseudo-terminal, linked as COM1 to the module simulator.  Timers
// run on the headless host's virtual clock; bytes cross a real pty, so waits
// are bounded by PumpUntil's real-time limit.  Every test runs under the
// invariants' checker, which is tapped between the console and its host and
// must have found nothing when the test ends.
#pragma once

#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"
#include "Invariants.h"
#include "Simulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

// How long a test waits for the other side of the line before it fails.  The
// console's own steps run on the virtual clock; only the bytes crossing the
// pseudo-terminal and the simulator's thread take real time, and under
// ThreadSanitizer on two shared, loaded cores that can take seconds.  Every
// such wait ends as soon as its condition holds, so a generous limit costs
// nothing when all is well.  (Waits that show that nothing happens stay short.)
inline constexpr std::chrono::seconds kPatience{60};

class SimConsoleTest : public ::testing::Test {
protected:
    explicit SimConsoleTest(const zsim::SimOptions& options = {}) : sim(options) {}

    zsim::Simulator sim;
    fw::HeadlessHost host;
    CConsoleDlg dlg{host};
    inv::Checker checker;
    std::unique_ptr<inv::ConsoleTap> tap;

    void SetUp() override {
        const std::string path = sim.StartOnPty();
        if (path.empty()) GTEST_SKIP() << "no pseudo-terminal: " << sim.LastError();
        dlg.Create();
        PortMap map;
        map.Set(1, path);
        dlg.m_Comm.SetPortMap(map);
        dlg.OnOpen();
        ASSERT_EQ(dlg.m_strStatus, "COM1 connect");
        tap = std::make_unique<inv::ConsoleTap>(dlg, host, checker);
    }
    void TearDown() override {
        if (tap) {
            checker.CheckLogFile(host.Now());
            std::string found;
            for (const inv::Violation& v : checker.Violations())
                found += "(" + std::to_string(v.rule) + ") at " + std::to_string(v.atMs) + " ms: " + v.text + "\n";
            EXPECT_EQ(checker.ViolationCount(), 0u) << found << checker.FirstViolationTrace();
            tap.reset();
        }
        dlg.m_Comm.Close();
        sim.Stop();
    }

    // Pumps until pred holds, also when what it looks at changes without a
    // message to the console (the simulator's state): polls every few ms.
    bool PollUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!host.PumpUntil(pred, std::chrono::milliseconds(2)))
            if (std::chrono::steady_clock::now() >= end) return false;
        return true;
    }
    // Host frames the simulator received with the given code.
    std::size_t FramesWithCode(std::uint8_t code) {
        std::size_t n = 0;
        for (const auto& f : sim.ReceivedFrames())
            if (f.size() > 3 && f[3] == code) ++n;
        return n;
    }
    // Message boxes shown so far with exactly this text.
    std::size_t BoxesSaying(const std::string& text) const {
        std::size_t n = 0;
        for (const auto& b : host.m_boxes)
            if (b.text == text) ++n;
        return n;
    }
};

// A fresh directory that is the process's current directory for the life of
// the object; the previous current directory comes back afterwards.
class ScopedWorkDir {
public:
    ScopedWorkDir() : m_old(std::filesystem::current_path()) {
        std::string tmpl = (std::filesystem::temp_directory_path() / "zantu_e2e_XXXXXX").string();
        if (mkdtemp(tmpl.data())) m_dir = tmpl;
        if (!m_dir.empty()) std::filesystem::current_path(m_dir);
    }
    ~ScopedWorkDir() {
        std::error_code ec;
        std::filesystem::current_path(m_old, ec);
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
    }
    ScopedWorkDir(const ScopedWorkDir&) = delete;
    ScopedWorkDir& operator=(const ScopedWorkDir&) = delete;

    bool Ok() const { return !m_dir.empty(); }
    const std::filesystem::path& Path() const { return m_dir; }

private:
    std::filesystem::path m_old;
    std::filesystem::path m_dir;
};
