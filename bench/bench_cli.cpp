// zantu-cli as a program: the time a run takes, process start included,
// against the module simulator on a pseudo-terminal.
//
//   BM_CliVersion           zantu-cli --version: starting the program and no more.
//   BM_CliStatusStartup     zantu-cli --port PTY status against a module that
//                           answers at once: start, open, one exchange, exit.
//   BM_CliStatusOwnSim      zantu-cli --simulate --sim-time-scale 0 status: the
//                           same with the tool's own simulated module.
//   BM_CliDownloadPacedPorts/1  zantu-cli --port PTY download FILE against a module at
//                           9600 baud with no working time, so the line is the
//                           only cost left: the whole run against the wire time
//                           of every byte exchanged (Go Loader 6 + 1 + 7 + 1, each
//                           block 266 + 1 + 7 + 1, 10 bits a byte).  One run,
//                           about 92 s.
//   BM_CliDownloadPacedPorts/N  the same download on N paced modules at once
//                           (--port given N times): the run against one port's
//                           wire time.  The goal for eight ports is at most
//                           1.02 times one port's run.  One run each.
//
// Usage: bench_cli [--benchmark_filter=Version|Startup|OwnSim|Paced]
#include "ImageHex.h"
#include "Simulator.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBlocks = 320;
constexpr double kLoaderBytes = 6 + 1 + 7 + 1;
constexpr double kBlockBytes = 266 + 1 + 7 + 1;

// Runs zantu-cli with args, its output thrown away; the exit status, or -1.
int RunCli(const std::vector<std::string>& args) {
    std::vector<std::string> words{ZANTU_CLI_PATH};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Times runs of zantu-cli args; the counter ms_per_run is the mean.
void TimeRuns(benchmark::State& state, const std::vector<std::string>& args) {
    double total = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        if (RunCli(args) != 0) {
            state.SkipWithError("zantu-cli did not exit 0");
            return;
        }
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        total += s;
        state.SetIterationTime(s);
    }
    state.counters["ms_per_run"] = total * 1000.0 / static_cast<double>(state.iterations());
}

void BM_CliVersion(benchmark::State& state) { TimeRuns(state, {"--version"}); }

void BM_CliStatusStartup(benchmark::State& state) {
    zsim::Simulator sim;  // answers at once
    const std::string port = sim.StartOnPty();
    if (port.empty()) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    TimeRuns(state, {"--port", port, "status"});
    sim.Stop();
}

void BM_CliStatusOwnSim(benchmark::State& state) {
    TimeRuns(state, {"--simulate", "--sim-time-scale", "0", "status"});
}

// A paced download of the image on state.range(0) modules at once.
void BM_CliDownloadPacedPorts(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    zsim::SimOptions o;
    o.pace = true;
    o.module.blockWriteMs = 0;
    o.module.commandMs = 0;
    std::vector<std::unique_ptr<zsim::Simulator>> sims;
    std::vector<std::string> args;
    for (std::size_t i = 0; i < n; ++i) {
        sims.push_back(std::make_unique<zsim::Simulator>(o));
        const std::string port = sims.back()->StartOnPty();
        if (port.empty()) {
            state.SkipWithError("no pseudo-terminal");
            return;
        }
        args.insert(args.end(), {"--port", port});
    }
    const std::string hexName = "zantu_bench_cli_" + std::to_string(n) + ".hex";
    const std::string hex = WriteImageHex(hexName.c_str());
    if (hex.empty()) {
        state.SkipWithError("no HEX file");
        return;
    }
    args.insert(args.end(), {"download", hex, "--no-verify"});
    double total = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        if (RunCli(args) != 0) {
            state.SkipWithError("the download did not complete on every port");
            break;
        }
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        total += s;
        state.SetIterationTime(s);
    }
    for (auto& sim : sims) sim->Stop();
    std::filesystem::remove(hex);
    if (state.iterations() == 0) return;
    const double ms = total * 1000.0 / static_cast<double>(state.iterations());
    const double wireMs = (kLoaderBytes + kBlocks * kBlockBytes) * zsim::Simulator::kByteMs;
    state.counters["ports"] = static_cast<double>(n);
    state.counters["ms_per_download"] = ms;
    state.counters["wire_ms"] = wireMs;
    state.counters["total_over_wire"] = ms / wireMs;
}

}  // namespace

BENCHMARK(BM_CliVersion)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_CliStatusStartup)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_CliStatusOwnSim)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_CliDownloadPacedPorts)->Arg(1)->Arg(8)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
