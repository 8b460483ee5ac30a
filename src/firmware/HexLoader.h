// The Intel HEX reader: fills a 40960-byte image from a file's records.
//
// A forgiving reader, as the module's loader files expect: characters before a
// ':' are skipped, no character is rejected (HexDigitValue maps every byte),
// checksums are read but not checked, type 01 ends the load, any other type is
// handled as a data record, and a record with count 0 ends the load.  Unlike a
// blind reader it refuses a file whose records reach beyond the image or that
// ends before its last record, so nothing half-read is ever downloaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

enum class HexLoadStatus { Ok, OutsideImage, Truncated, FileError };

struct HexLoadResult {
    HexLoadStatus status = HexLoadStatus::Ok;
    int line = 0;              // line of the offending record (1-based)
    unsigned address = 0;      // first address of the offending byte
    int sysError = 0;          // errno for FileError
};

std::uint8_t HexDigitValue(std::uint8_t ch);

// Loads text into image (which the caller has filled with 0xFF).  Nothing is
// written outside image.
HexLoadResult LoadHex(std::span<const std::uint8_t> text, std::span<std::uint8_t> image);

// Reads the file at path and loads it.
HexLoadResult LoadHexFile(const std::string& path, std::span<std::uint8_t> image);
