// Receiver fuzz target: arbitrary bytes from the module handed to the console
// in chunks of arbitrary sizes (at most the channel's 80), after a command of
// the chosen kind was sent, with the virtual clock moved on between chunks so
// that the ACK, response, repeat and progress timers run into the receiver's
// states too.  Besides staying inside its buffers, the console must keep the
// invariants: no dispense-type frame (nor any other) without a press, a resend
// or a batch send after the awaited answer; never busy past the time-outs.
//
// Input: byte 0 chooses the set-up (bits 0..2 and 7: the scenario, see FuzzConsole.h;
// bit 3: move the clock between chunks; bits 4..5: a variant of it).  Then,
// repeatedly, one control byte (chunk size 0..80 in its value modulo 81; its
// top two bits pick a clock step) followed by that many bytes; a control byte
// of 0xF8 or more is instead a press (the scenario in its low three bits), so
// one input reaches sequences of presses and answers.
#include "FuzzConsole.h"

#include <cstddef>
#include <cstdint>

namespace {
constexpr std::uint64_t kSteps[4] = {0, 999, 1000, 60000};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    fuzz::Console& c = fuzz::TheConsole();
    const std::uint8_t setup = data[0];
    c.Begin(fuzz::ScenarioOf(setup), fuzz::VariantOf(setup));
    const bool bClock = (setup & 8) != 0;
    std::size_t i = 1;
    while (i < size) {
        const std::uint8_t ctl = data[i++];
        if (ctl >= 0xF8) {
            c.Scene(fuzz::ScenarioOf(static_cast<std::uint8_t>(ctl & 7)), 0);
            continue;
        }
        std::size_t n = ctl % (CComm::kChunk + 1);
        if (n > size - i) n = size - i;
        c.Chunk(data + i, n);
        i += n;
        if (bClock) c.Advance(kSteps[ctl >> 6]);
    }
    // Long enough for every time-out and a few batch waits.
    c.Advance(200000);
    c.End();
    return 0;
}
