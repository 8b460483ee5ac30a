// Receiver fuzz target: arbitrary bytes handed to OnCommData in chunks of
// arbitrary sizes (at most the channel's 80), sometimes after a send and with
// the virtual clock moved on between chunks, so the ACK and response timers run
// into the receiver's states too.
//
// Input: byte 0 chooses the set-up (bit 0: send a frame first; bits 1..2: its
// command type; bit 3: advance the clock between chunks).  Then, repeatedly,
// one control byte (chunk size 0..80 in its value modulo 81; with bit 3 set in
// the set-up, its top bits pick a clock step) followed by that many data bytes.
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"
#include "link/LinkFrame.h"

#include <cstddef>
#include <cstdint>

namespace {

struct NullWriter final : CByteWriter {
    std::size_t bytes = 0;
    int Write(const std::uint8_t*, std::uint32_t n) override {
        bytes += n;
        return 1;
    }
};

constexpr int kTypes[4] = {16, 1, 20, 21};  // plain, dispense, Go Loader, block write
constexpr std::uint64_t kSteps[4] = {0, 999, 1000, 60000};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    fw::HeadlessHost host;
    CConsoleDlg dlg(host);
    NullWriter out;
    dlg.m_pWriter = &out;
    dlg.m_bLinked = 1;

    const std::uint8_t setup = data[0];
    if (setup & 1) {
        const int nType = kTypes[(setup >> 1) & 3];
        dlg.m_TxFrame[0] = proto::EOT;
        dlg.m_TxFrame[1] = proto::HOST_ID;
        dlg.m_TxFrame[2] = proto::STX;
        dlg.m_TxFrame[3] = 'P';
        dlg.m_nTxLen = 4;
        dlg.m_nCmdCode = 'P';
        dlg.m_nLastType = nType;
        dlg.CloseAndSend(nType);
    }
    const bool bClock = (setup & 8) != 0;

    std::size_t i = 1;
    while (i < size) {
        const std::uint8_t ctl = data[i++];
        std::size_t n = ctl % (CComm::kChunk + 1);
        if (n > size - i) n = size - i;
        for (std::size_t k = 0; k < n; ++k) dlg.m_Comm.m_RxBuf[k] = data[i + k];
        dlg.m_Comm.m_wRxLen = static_cast<std::uint16_t>(n);
        dlg.OnMessage(WM_COMM_DATA, 0, 0);
        i += n;
        if (bClock) host.Advance(kSteps[ctl >> 6]);
    }
    if (bClock) host.Advance(200000);
    return 0;
}
