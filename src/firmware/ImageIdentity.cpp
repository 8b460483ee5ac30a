#include "firmware/ImageIdentity.h"

#include <cstdio>

namespace image {

// The check value every CRC-32 of this kind gives for "123456789".
static_assert(Crc32(std::span<const std::uint8_t>(
                  std::array<std::uint8_t, 9>{'1', '2', '3', '4', '5', '6', '7', '8', '9'})) == 0xCBF43926u);

ev::ImageIdentity Identify(std::string_view file, const HexLoadResult& load, std::span<const std::uint8_t> image) {
    ev::ImageIdentity id;
    id.file = file;
    id.records = load.records;
    id.dataBytes = load.dataBytes;
    id.sum = Sum16(image);
    id.crc32 = Crc32(image);
    return id;
}

std::string IdentityLine(const ev::ImageIdentity& id) {
    char tail[96];
    std::snprintf(tail, sizeof tail, ": %d %s, %d bytes, sum 0x%04X, CRC-32 0x%08X", id.records,
                  id.records == 1 ? "record" : "records", id.dataBytes, static_cast<unsigned>(id.sum),
                  static_cast<unsigned>(id.crc32));
    return "image " + std::string(id.file) + tail;
}

}  // namespace image
