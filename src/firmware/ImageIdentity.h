// Who a loaded image is: the file, what was read from it, the 16-bit image sum
// that Verify sends and a CRC-32 of the whole 40960-byte image.  The window,
// zantu-cli's download and its hex-info all compute and word it here, so a
// production line can compare the line any of them prints.
#pragma once

#include "console/ConsoleEvents.h"
#include "firmware/HexLoader.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace image {

// CRC-32 with the IEEE polynomial, reflected (0xEDB88320), initial value and
// final XOR 0xFFFFFFFF: the checksum zlib's crc32() and most tools compute.
inline constexpr std::array<std::uint32_t, 256> kCrc32Table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[n] = c;
    }
    return t;
}();

constexpr std::uint32_t Crc32(std::span<const std::uint8_t> bytes) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::uint8_t b : bytes) c = kCrc32Table[(c ^ b) & 0xFFu] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

// The low 16 bits of the unsigned sum of the bytes: what Verify sends.
constexpr std::uint16_t Sum16(std::span<const std::uint8_t> bytes) {
    std::uint32_t sum = 0;
    for (std::uint8_t b : bytes) sum += b;
    return static_cast<std::uint16_t>(sum & 0xFFFFu);
}

// The identity of an image loaded from `file` (load: the loader's result for
// it).  The identity's file view points into `file`, which must outlive it.
ev::ImageIdentity Identify(std::string_view file, const HexLoadResult& load, std::span<const std::uint8_t> image);

// "image fw.hex: 312 records, 39936 bytes, sum 0x1234, CRC-32 0x89ABCDEF"
std::string IdentityLine(const ev::ImageIdentity& id);

}  // namespace image
