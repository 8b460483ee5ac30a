// Decoder fuzz target: arbitrary accepted frames through the receiver into
// DecodeResponse and the batch logic, after a command of the chosen kind was
// sent and acknowledged, with message boxes answered at once.  Whatever the
// code and the length, nothing is read outside the frame, and the console keeps
// the invariants (no frame without a press, a resend or a batch send after the
// awaited answer; never busy past the time-outs).
//
// Input: byte 0 chooses the set-up (bits 0..2 and 7: the scenario, see FuzzConsole.h;
// bit 3 set: the module's ACK does not come first; bits 4..5: a variant).  The
// rest, cut at each ETX, is the data of up to eight frames: SOH first, ETX and
// a correct BCC last (an accepted frame holds no ETX before its end, so these
// are every frame the console can accept), each after the module's ACK (unless
// bit 3) and a second of the clock, so batches, late and doubled answers are
// reached in sequence.
#include "FuzzConsole.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    fuzz::Console& c = fuzz::TheConsole();
    const std::uint8_t setup = data[0];
    c.Begin(fuzz::ScenarioOf(setup), fuzz::VariantOf(setup));
    static std::vector<std::uint8_t> frame;
    std::size_t i = 1;
    for (int k = 0; k < 8 && i < size; ++k) {
        if (!(setup & 8)) {
            const std::uint8_t ack = proto::ACK;
            c.Bytes(&ack, 1);
        }
        frame.assign(1, proto::SOH);
        for (; i < size && data[i] != proto::ETX; ++i) frame.push_back(data[i]);
        ++i;  // the ETX that ended it
        frame.push_back(proto::ETX);
        frame.push_back(proto::Xor(frame.data(), frame.size()));
        c.Bytes(frame.data(), frame.size());
        c.Advance(1000);
    }
    c.Advance(200000);
    c.End();
    return 0;
}
