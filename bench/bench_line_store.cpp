// The wire trace's line store: the memory a full store adds (resident set
// before and after 200 000 lines of the trace's own kinds: an exchange's host
// frame, ACK, 30-byte answer and ACK, or a download's block frames and ACKs;
// measured first and each in a process of its own, as memory freed before
// stays resident: --benchmark_filter=Memory/0, then Memory/1), and the cost
// of a line put into a full store.
#include "trace/TraceSinks.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Lines as the trace writes them, time first.
std::vector<std::string> ExchangeLines() {
    return {
        "     12.345 TX 04 30 02 52 21 20 20 20 20 20 20 03 46 | DISPENSE 1 0 0 0",
        "     12.351 RX 06 | ACK",
        "     14.020 RX 01 30 30 52 20 20 21 22 23 20 21 22 23 20 21 22 23 20 21 22 23 20 21 22 23 20 21 22 03 71"
        " | response 0x52, dispensed 1 0 0 0, rejected 0 0 0 0",
        "     14.021 TX 06 | ACK",
    };
}

// A firmware download's lines: each block's frame (128 data bytes) and its ACK.
std::vector<std::string> BlockLines() {
    std::string frame = "     31.207 TX 02 57 00 40";
    for (int i = 0; i < 128; ++i) frame += " 5A";
    frame += " 03 1C | block 65 of 320";
    return {frame, "     31.380 RX 06 | ACK"};
}

long ResidentKb() {
    long pages = 0, resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

void Fill(trace::LineStore& store, const std::vector<std::string>& lines, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) store.Put({0, trace::kFrameLine, lines[i % lines.size()]});
}

// state.range(0): 0 exchanges' lines, 1 a download's.
void BM_FullStoreMemory(benchmark::State& state) {
    const auto lines = state.range(0) == 0 ? ExchangeLines() : BlockLines();
    for (auto _ : state) {
        const long before = ResidentKb();
        auto store = std::make_unique<trace::LineStore>();
        Fill(*store, lines, 2 * store->Capacity());  // full, and the oldest dropped once over
        state.counters["lines"] = static_cast<double>(store->Size());
        state.counters["added_MB"] = static_cast<double>(ResidentKb() - before) / 1024.0;
    }
}
BENCHMARK(BM_FullStoreMemory)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_PutIntoFullStore(benchmark::State& state) {
    trace::LineStore store;
    const auto lines = ExchangeLines();
    Fill(store, lines, store.Capacity());
    std::size_t i = 0;
    for (auto _ : state) store.Put({0, trace::kFrameLine, lines[i++ % lines.size()]});
}
BENCHMARK(BM_PutIntoFullStore);

}  // namespace

BENCHMARK_MAIN();
