// The fixture of the end-to-end suites: the console core with its real serial
// channel on a pseudo-terminal, linked as COM1 to the module simulator.  Timers
// run on the headless host's virtual clock; bytes cross a real pty, so waits
// are bounded by PumpUntil's real-time limit.
//
// Every test runs under the invariants' checker, which is tapped between the
// console and its host and must have found nothing when the test ends.  Every
// test runs with the wire trace on, to its line store and to a file, on the
// virtual clock.  At the end the trace is checked against the line as the
// simulator saw it: what the console sent and received shows exactly once, in
// order, and the file holds the store's lines.
#pragma once

#include "TraceParse.h"
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"
#include "Invariants.h"
#include "trace/WireTrace.h"
#include "Simulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>

// How long a test waits for the other side of the line before it fails.  The
// console's own steps run on the virtual clock; only the bytes crossing the
// pseudo-terminal and the simulator's thread take real time, and under
// ThreadSanitizer on two shared, loaded cores that can take seconds.  Every
// such wait ends as soon as its condition holds, so a generous limit costs
// nothing when all is well.  (Waits that show that nothing happens stay short.)
inline constexpr std::chrono::seconds kPatience{60};

class SimConsoleTest : public ::testing::Test {
protected:
    explicit SimConsoleTest(const zsim::SimOptions& options = {}) : sim(Recorded(options)) {}

    zsim::Simulator sim;
    fw::HeadlessHost host;
    // The trace's sinks outlive the trace, which outlives the console.
    trace::LineStore traceStore;
    std::unique_ptr<trace::FileSink> traceFile;
    std::string tracePath;
    trace::WireTrace wireTrace{[this] { return host.Now() * 1000; }};
    CConsoleDlg dlg{host};
    inv::Checker checker;
    std::unique_ptr<inv::ConsoleTap> tap;

    void SetUp() override {
        const std::string path = sim.StartOnPty();
        if (path.empty()) GTEST_SKIP() << "no pseudo-terminal: " << sim.LastError();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        tracePath = (std::filesystem::temp_directory_path() /
                     ("zantu_trace_" + std::string(info->test_suite_name()) + "_" + info->name() + "_" +
                      std::to_string(::getpid()) + ".txt"))
                        .string();
        std::filesystem::remove(tracePath);
        std::string error;
        traceFile = trace::FileSink::Open(tracePath, &error);
        ASSERT_TRUE(traceFile) << error;
        wireTrace.AddSink(&traceStore);
        wireTrace.AddSink(traceFile.get());
        dlg.Subscribe(&wireTrace);
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
        if (traceFile) CheckTrace(false);
        dlg.m_Comm.Close();
        sim.Stop();
        // A failed test keeps its trace, and so does every test with ZANTU_KEEP_TRACES set.
        const bool keep = HasFailure() || std::getenv("ZANTU_KEEP_TRACES");
        if (!tracePath.empty() && !keep) std::filesystem::remove(tracePath);
        if (!tracePath.empty() && keep) std::cerr << "wire trace kept: " << tracePath << "\n";
    }

    // The trace against the line: the bytes the simulator read are the bytes
    // the trace shows sent, and the bytes it wrote those shown received,
    // each once and in order.  With bExact the two must be equal (after
    // waiting for bytes on their way); otherwise the line's side may be
    // behind or ahead by what is still under way.  Times never go back, and
    // the file holds the store's lines, each after its time of day.
    void CheckTrace(bool bExact) {
        auto settled = [&] {
            const auto lines = StoreLines(traceStore);
            return JoinBytes(lines, "TX").size() == sim.LineIn().size() &&
                   JoinBytes(lines, "RX").size() == sim.LineOut().size();
        };
        const bool bSettled = PollUntil(settled, std::chrono::milliseconds(bExact ? 3000 : 300));
        if (bExact) {
            EXPECT_TRUE(bSettled);
        }
        ASSERT_FALSE(sim.LineRecordFull());
        const auto lines = StoreLines(traceStore);
        EXPECT_EQ(lines.size(), traceStore.Size()) << "a line the trace made does not read back";
        const auto tx = JoinBytes(lines, "TX");
        const auto rx = JoinBytes(lines, "RX");
        const auto in = sim.LineIn();
        const auto out = sim.LineOut();
        if (bExact || bSettled) {
            EXPECT_EQ(tx, in) << "sent bytes and the trace differ";
            EXPECT_EQ(rx, out) << "received bytes and the trace differ";
        } else {
            ASSERT_LE(in.size(), tx.size());
            EXPECT_TRUE(std::equal(in.begin(), in.end(), tx.begin())) << "sent bytes and the trace differ";
            ASSERT_LE(rx.size(), out.size());
            EXPECT_TRUE(std::equal(rx.begin(), rx.end(), out.begin())) << "received bytes and the trace differ";
        }
        // Times count from each OPEN.
        for (std::size_t i = 1; i < lines.size(); ++i)
            if (lines[i].what.rfind("OPEN ", 0) != 0) {
                EXPECT_GE(lines[i].ms, lines[i - 1].ms) << i;
            }

        std::string head;
        const auto file = ReadTraceFile(tracePath, &head);
        EXPECT_EQ(head.rfind("# wire trace started ", 0), 0u) << head;
        ASSERT_EQ(file.size(), traceStore.Size());
        std::string lastWall;
        for (std::size_t i = 0; i < file.size(); ++i) {
            const auto t = ParseTraceLine(file[i], true);
            ASSERT_TRUE(t) << file[i];
            EXPECT_EQ(file[i].substr(13), traceStore.Text(traceStore.Begin() + i));
            const bool midnight = lastWall.rfind("23:", 0) == 0 && t->wall.rfind("00:", 0) == 0;
            EXPECT_TRUE(t->wall >= lastWall || midnight) << "time of day went back at line " << i;
            lastWall = t->wall;
        }
    }
    static zsim::SimOptions Recorded(zsim::SimOptions o) {
        o.recordLine = true;
        return o;
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
