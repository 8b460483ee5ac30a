// The cost of tracing one exchange: the host frame written (DISPENSE, 13
// bytes), the module's ACK, its 30-byte response frame, and the console's
// ACK, as the console tells them to the trace.  Measured with the window
// hidden (the line store only: the window reads the store on its own timer)
// and with a trace file as well (one write per line).  Then the console's
// own path for the same exchange, untraced and traced, to show what the trace
// adds there.
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"
#include "link/LinkFrame.h"
#include "trace/WireTrace.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kDispense{0x04, 0x30, 0x02, 0x52, 0x21, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x03, 0x46};

// SOH '0' '0' 'R' error, 23 field bytes, ETX, BCC: 30 bytes.
Bytes Response() {
    Bytes f{proto::SOH, '0', '0', 'R', ' '};
    for (int k = 0; k < 23; ++k) f.push_back(static_cast<std::uint8_t>(0x20 + k % 4));
    f.push_back(proto::ETX);
    f.push_back(proto::Xor(f.data(), f.size()));
    return f;
}

struct NullWriter final : CByteWriter {
    int Write(const std::uint8_t*, std::uint32_t) override { return 1; }
};

// A trace file in the temporary folder, removed afterwards.
struct TempTraceFile {
    std::string path = (std::filesystem::temp_directory_path() /
                        ("zantu_bench_trace_" + std::to_string(::getpid()) + ".txt"))
                           .string();
    std::unique_ptr<trace::FileSink> sink;
    TempTraceFile() {
        std::string error;
        sink = trace::FileSink::Open(path, &error);
    }
    ~TempTraceFile() {
        sink.reset();
        std::filesystem::remove(path);
    }
};

void OneExchange(trace::WireTrace& wire, const ev::FrameNote& note, const Bytes& response) {
    ev::TxNote tx;
    tx.kind = ev::TxKind::FirstSend;
    tx.frame = &note;
    wire.Written(kDispense.data(), kDispense.size(), tx);
    const std::uint8_t ack = proto::ACK;
    wire.ChunkBegin(&ack, 1);
    wire.Received(ev::RxKind::Ack);
    wire.ChunkEnd();
    wire.ChunkBegin(response.data(), response.size());
    for (std::size_t i = 0; i + 1 < response.size(); ++i) wire.Received(ev::RxKind::FrameByte);
    wire.Received(ev::RxKind::FrameAnswer);
    wire.ChunkEnd();
    wire.Written(&ack, 1, ev::TxNote{});
}

// state.range(0): 0 the window's store only, 1 the store and a file.
void BM_TraceOneExchange(benchmark::State& state) {
    trace::LineStore store;
    TempTraceFile file;
    if (state.range(0) == 1 && !file.sink) {
        state.SkipWithError("cannot open a trace file");
        return;
    }
    trace::WireTrace wire;
    wire.AddSink(&store);
    if (state.range(0) == 1) wire.AddSink(file.sink.get());
    const ev::FrameNote note{1, ev::NoteKind::Counts, 4, {1, 0, 0, 0}};
    const Bytes response = Response();
    for (auto _ : state) OneExchange(wire, note, response);
    state.SetLabel(state.range(0) == 1 ? "store + file" : "store (window hidden)");
    state.counters["lines"] = static_cast<double>(store.End()) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_TraceOneExchange)->Arg(0)->Arg(1);

// The console's path: the frame written, the ACK and the answer handed over
// as two chunks, the answer judged, acknowledged and decoded ('w', a dump:
// decoded, never counted).  state.range(0): 0 untraced, 1 store, 2 store and file.
void BM_ConsoleExchange(benchmark::State& state) {
    fw::HeadlessHost host;
    CConsoleDlg dlg(host);
    NullWriter out;
    dlg.m_pWriter = &out;
    trace::LineStore store;
    TempTraceFile file;
    trace::WireTrace wire;
    if (state.range(0) >= 1) {
        wire.AddSink(&store);
        dlg.Subscribe(&wire);
    }
    if (state.range(0) == 2) {
        if (!file.sink) {
            state.SkipWithError("cannot open a trace file");
            return;
        }
        wire.AddSink(file.sink.get());
    }
    Bytes response = Response();
    response[3] = 'w';
    response.back() = 0;
    response.back() = proto::Xor(response.data(), response.size() - 1);
    std::copy(kDispense.begin(), kDispense.end(), dlg.m_TxFrame);
    dlg.m_nTxLen = static_cast<int>(kDispense.size());
    dlg.m_TxNote = {1, ev::NoteKind::Counts, 4, {1, 0, 0, 0}};
    auto hand = [&](const Bytes& chunk) {
        for (std::size_t k = 0; k < chunk.size(); ++k) dlg.m_Comm.m_RxBuf[k] = chunk[k];
        dlg.m_Comm.m_wRxLen = static_cast<std::uint16_t>(chunk.size());
        dlg.OnCommData();
    };
    const Bytes ack{proto::ACK};
    for (auto _ : state) {
        dlg.ResendStored(ev::TxKind::FirstSend);
        dlg.m_nRxState = proto::kRxAwaitAck;
        hand(ack);
        hand(response);
        dlg.m_strRecv.clear();
        host.SetControlText(ids::kRecv, "");
    }
    static const char* const kLabels[] = {"untraced", "traced: store", "traced: store + file"};
    state.SetLabel(kLabels[state.range(0)]);
}
BENCHMARK(BM_ConsoleExchange)->Arg(0)->Arg(1)->Arg(2);

}  // namespace

BENCHMARK_MAIN();
