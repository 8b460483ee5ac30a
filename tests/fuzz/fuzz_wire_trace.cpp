// Wire trace fuzz target: arbitrary bytes through the console's receiver in
// chunks of arbitrary sizes, after a send and with the clock moved on, once
// traced and once not.  Every byte received and every byte written shows
// exactly once in the trace's lines, in order, and the traced console writes
// exactly what the untraced one writes.
//
// Input: as the receiver target's (byte 0 the set-up; then a control byte,
// chunk size in its value modulo 81 and a clock step in its top bits, and
// that many data bytes, repeatedly).
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"
#include "link/LinkFrame.h"
#include "trace/WireTrace.h"

#include "../TraceParse.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct JoinWriter final : CByteWriter {
    Bytes bytes;
    int Write(const std::uint8_t* p, std::uint32_t n) override {
        bytes.insert(bytes.end(), p, p + n);
        return 1;
    }
};

struct ParseSink final : trace::LineSink {
    std::vector<TraceLine> lines;
    void Put(const trace::Line& l) override {
        auto t = ParseTraceLine(l.text, false);
        if (!t) __builtin_trap();
        lines.push_back(*t);
    }
};

constexpr int kTypes[4] = {16, 1, 20, 21};
constexpr std::uint64_t kSteps[4] = {0, 999, 1000, 60000};

// Runs the input through one console, traced when wire is given.
Bytes Run(const std::uint8_t* data, std::size_t size, trace::WireTrace* wire, Bytes* received) {
    fw::HeadlessHost host;
    CConsoleDlg dlg(host);
    JoinWriter out;
    dlg.m_pWriter = &out;
    if (wire) dlg.Subscribe(wire);
    dlg.m_bLinked = 1;
    const std::uint8_t setup = data[0];
    if (setup & 1) {
        const int nType = kTypes[(setup >> 1) & 3];
        const std::uint8_t head[4] = {proto::EOT, proto::HOST_ID, proto::STX, 'P'};
        for (int k = 0; k < 4; ++k) dlg.m_TxFrame[k] = head[k];
        dlg.m_nTxLen = 4;
        dlg.m_nCmdCode = 'P';
        dlg.m_nLastType = nType;
        dlg.m_TxNote = {nType, ev::NoteKind::None, 0, {}};
        dlg.CloseAndSend(nType);
    }
    std::size_t i = 1;
    while (i < size) {
        const std::uint8_t ctl = data[i++];
        std::size_t n = ctl % (CComm::kChunk + 1);
        if (n > size - i) n = size - i;
        for (std::size_t k = 0; k < n; ++k) dlg.m_Comm.m_RxBuf[k] = data[i + k];
        if (received) received->insert(received->end(), data + i, data + i + n);
        dlg.m_Comm.m_wRxLen = static_cast<std::uint16_t>(n);
        dlg.OnMessage(WM_COMM_DATA, 0, 0);
        i += n;
        if (setup & 8) host.Advance(kSteps[ctl >> 6]);
    }
    if (setup & 8) host.Advance(200000);
    if (wire) dlg.Unsubscribe(wire);
    if (wire) wire->Flush();
    return out.bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    ParseSink sink;
    trace::WireTrace wire([] { return std::uint64_t{0}; });
    wire.AddSink(&sink);
    Bytes received;
    const Bytes traced = Run(data, size, &wire, &received);
    const Bytes plain = Run(data, size, nullptr, nullptr);
    if (traced != plain) __builtin_trap();
    if (JoinBytes(sink.lines, "RX") != received) __builtin_trap();
    if (JoinBytes(sink.lines, "TX") != traced) __builtin_trap();
    return 0;
}
