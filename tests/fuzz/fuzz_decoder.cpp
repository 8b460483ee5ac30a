// Decoder fuzz target: arbitrary accepted frames (SOH first, ETX and BCC last,
// anything between) through DecodeResponse, with message boxes answered at
// once.  Whatever the code and the length, nothing is read outside the frame.
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"

#include <cstddef>
#include <cstdint>

namespace {
struct NullWriter final : CByteWriter {
    int Write(const std::uint8_t*, std::uint32_t) override { return 1; }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fw::HeadlessHost host;
    CConsoleDlg dlg(host);
    NullWriter out;
    dlg.m_pWriter = &out;
    std::string frame(1, '\x01');
    frame.append(reinterpret_cast<const char*>(data), size);
    frame.push_back('\x03');
    std::uint8_t x = 0;
    for (char c : frame) x ^= static_cast<std::uint8_t>(c);
    frame.push_back(static_cast<char>(x));
    dlg.m_strRxFrame = frame;
    dlg.m_nRxCount = static_cast<int>(frame.size());
    dlg.DecodeResponse();
    return 0;
}
