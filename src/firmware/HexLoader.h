// The Intel HEX reader: fills a 40960-byte image from a file's records.
//
// A forgiving reader, as the module's loader files expect: characters before a
// ':' are skipped, no character is rejected (HexDigitValue maps every byte),
// checksums are read but not checked, type 01 ends the load, and a record with
// count 0 ends the load.  Address and start records are not image data:
// start-address records (03, 05) are skipped, extended-address records (02,
// 04) are skipped when their base is zero and refuse the file otherwise, since
// their data would land outside the image.  Every other type is read as a data
// record.  The reader refuses a file whose records reach beyond the image or
// that ends before its last record, so nothing half-read is ever downloaded.
//
// Files are read with a bound: only regular files, at most kMaxHexFileBytes,
// and reading stops at the record that ends the load.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

enum class HexLoadStatus {
    Ok,
    OutsideImage,     // a data byte beyond the image
    Truncated,        // the text ends before the record that ends the load
    ExtendedAddress,  // an extended-address record with a non-zero base
    NotRegularFile,   // a directory, FIFO, device or socket
    TooLarge,         // larger than any HEX file of the image can be
    FileError,        // open or read failed (sysError)
};

struct HexLoadResult {
    HexLoadStatus status = HexLoadStatus::Ok;
    int line = 0;              // line of the offending record (1-based)
    unsigned address = 0;      // first address of the offending byte
    int sysError = 0;          // errno for FileError
    const char* fileKind = ""; // what the file is, for NotRegularFile ("a directory", ...)
};

// A HEX file of the whole image in one-byte records with CR LF is about
// 0.6 MiB; anything beyond this bound is no HEX file of a 40960-byte image.
inline constexpr std::size_t kMaxHexFileBytes = 4u * 1024u * 1024u;

std::uint8_t HexDigitValue(std::uint8_t ch);

// Loads text into image (which the caller has filled with 0xFF).  Nothing is
// written outside image.
HexLoadResult LoadHex(std::span<const std::uint8_t> text, std::span<std::uint8_t> image);

// Reads the file at path and loads it: a regular file only, read up to the
// record that ends the load and never more than kMaxHexFileBytes.
HexLoadResult LoadHexFile(const std::string& path, std::span<std::uint8_t> image);

// The operator's message for a refused load, naming the file and the reason.
std::string HexLoadMessage(const std::string& path, const HexLoadResult& r);
