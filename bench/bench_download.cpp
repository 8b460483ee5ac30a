// The whole firmware download (320 block writes of a 40960-byte image) from
// Write Prog to "Downloading Done!", the console core on a real pseudo-terminal
// against the simulated module.
//
//   BM_DownloadUnpaced  the module answers at once: what the console, the
//                       channel and the pty cost.  Counters: ms per download,
//                       us per block.
//   BM_DownloadPaced    the module at 9600 baud with no programming time, so
//                       the line is the only cost left: total time against the
//                       wire time of every byte exchanged (block 266 + module
//                       ACK 1 + answer 7 + console ACK 1 bytes, 10 bits each).
//                       One download, about 92 s.
//
// The headless host's clock is virtual; the real-time driver moves it on by
// the real time that passed, so the ACK, response and progress timers run as
// under a real event loop.
//
// Usage: bench_download [--benchmark_filter=Unpaced|Paced]
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"
#include "framework/RealTimeDriver.h"
#include "OpenOnSimulator.h"
#include "ImageHex.h"
#include "Simulator.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kBytesPerBlock = 266 + 1 + 7 + 1;

class Bench {
public:
    explicit Bench(bool paced) {
        zsim::SimOptions o;
        o.pace = paced;
        o.module.blockWriteMs = 0;
        sim = std::make_unique<zsim::Simulator>(o);
        hex = WriteImageHex("zantu_bench_download.hex");
        if (hex.empty()) {
            error = "cannot write the HEX file";
            return;
        }
        error = OpenOnSimulator(dlg, *sim);
        if (!error.empty()) return;
        host.SelectTab(ids::kTab, 5);
        host.Click(ids::kGoLoader);
        if (!Drive([&] { return Boxes("Go Loader O.K.!") == 1 && !host.IsTimerRunning(kTimerAck); },
                   std::chrono::seconds(5)))
            error = "no answer to Go Loader";
        host.m_answerFile = [this](std::string_view) { return std::optional<std::string>(hex); };
    }
    ~Bench() {
        dlg.m_Comm.Close();
        sim->Stop();
        if (!hex.empty()) std::filesystem::remove(hex);
    }

    // One download; false when it did not end with "Downloading Done!".
    bool Download() {
        const std::size_t done = Boxes("Downloading Done!");
        host.Click(ids::kWriteProg);
        return Drive([&] { return Boxes("Downloading Done!") > done; }, std::chrono::seconds(200)) &&
               !dlg.m_bBusy;
    }

    std::string error;

private:
    // Pumps until pred holds, moving the virtual clock on with real time.
    template <class Pred>
    bool Drive(Pred pred, Clock::duration limit) {
        return driver.RunUntil(pred, limit);
    }
    std::size_t Boxes(const char* text) const {
        std::size_t n = 0;
        for (const auto& b : host.m_boxes) n += b.text == text;
        return n;
    }

    std::unique_ptr<zsim::Simulator> sim;
    fw::HeadlessHost host;
    CConsoleDlg dlg{host};
    fw::RealTimeDriver driver{host};
    std::string hex;
};

void Run(benchmark::State& state, bool paced) {
    Bench b(paced);
    if (!b.error.empty()) {
        state.SkipWithError(b.error.c_str());
        return;
    }
    double totalMs = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        if (!b.Download()) {
            state.SkipWithError("the download did not complete");
            return;
        }
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        totalMs += ms;
        state.SetIterationTime(ms / 1000.0);
    }
    const double perDownload = totalMs / static_cast<double>(state.iterations());
    state.counters["ms_per_download"] = perDownload;
    state.counters["us_per_block"] = perDownload * 1000.0 / kBlockCount;
    if (paced) {
        const double wireMs = kBlockCount * kBytesPerBlock * zsim::Simulator::kByteMs;
        state.counters["wire_ms"] = wireMs;
        state.counters["total_over_wire"] = perDownload / wireMs;
    }
}

void BM_DownloadUnpaced(benchmark::State& state) { Run(state, false); }
void BM_DownloadPaced(benchmark::State& state) { Run(state, true); }

}  // namespace

BENCHMARK(BM_DownloadUnpaced)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_DownloadPaced)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
