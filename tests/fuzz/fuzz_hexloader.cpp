// HEX loader fuzz target: arbitrary file contents into a 40960-byte image held
// between two guard areas; nothing may be written outside the image.
#include "firmware/HexLoader.h"

#include <array>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::array<std::uint8_t, 64 + 0xA000 + 64> buf;
    buf.fill(0xA5);
    std::span<std::uint8_t> image(buf.data() + 64, 0xA000);
    LoadHex(std::span<const std::uint8_t>(data, size), image);
    for (std::size_t i = 0; i < 64; ++i)
        if (buf[i] != 0xA5 || buf[buf.size() - 1 - i] != 0xA5) std::abort();
    return 0;
}
