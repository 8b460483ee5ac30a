// The Intel HEX reader: fills a 40960-byte image from a file's records.
//
// A record is a line: a ':' and then hexadecimal digits only (count, address,
// type, data, checksum), with blanks allowed around it.  Every record is
// checked before its bytes are trusted: each character must be a hexadecimal
// digit (either case), the count must match the digits on the line, and the
// record's bytes must sum to zero with its checksum.  A file with a bad record
// is refused as a whole; the findings come back as data, so that a caller may
// offer to go on when the only fault is wrong checksums (a careless tool's old
// file) and then load it again with ignoreChecksums.  A line of text that is no
// record is a bad record too: a record whose ':' was damaged must not vanish.
//
// What stored files rely on is kept: line ends of any kind (LF, CR LF, CR),
// blank lines, lower-case digits.  Type 01 ends the load, and so does a
// record with count 0; nothing after it is read.  Start-address records (03,
// 05) are skipped, extended-address records (02, 04) are skipped when their
// base is zero and refuse the file otherwise, since their data would land
// outside the image.  Every other type is read as a data record.  The reader
// refuses a file whose records reach beyond the image or that ends before its
// last record, so nothing half-read is ever downloaded.
//
// Files are read with a bound: only regular files, at most kMaxHexFileBytes,
// and reading stops at the record that ends the load.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

enum class HexLoadStatus {
    Ok,
    BadRecords,       // records failed their checks (findings)
    OutsideImage,     // a data byte beyond the image
    Truncated,        // the text ends before the record that ends the load
    ExtendedAddress,  // an extended-address record with a non-zero base
    NotRegularFile,   // a directory, FIFO, device or socket
    TooLarge,         // larger than any HEX file of the image can be
    FileError,        // open or read failed (sysError)
};

// What is wrong with one record.
enum class HexFault : std::uint8_t {
    Checksum,   // the bytes do not sum to zero: stated and needed differ
    Character,  // a character that is no hexadecimal digit
    Length,     // the count does not match the digits on the line (a cut line)
    TooLong,    // the line is longer than any record
    NotRecord,  // a line of text that does not begin with ':'
    NoEnd,      // the text ends before the record that ends the load
};

struct HexFinding {
    HexFault fault = HexFault::Checksum;
    int line = 0;              // 1-based
    int column = 0;            // Character: 1-based column of the character
    std::uint8_t ch = 0;       // Character: the character
    std::uint8_t stated = 0;   // Checksum: the record's checksum byte
    std::uint8_t needed = 0;   // Checksum: the checksum its other bytes need
    int wantDigits = 0;        // Length: digits after ':' the count calls for
    int haveDigits = 0;        // Length: digits after ':' on the line
};

struct HexLoadOptions {
    // Records whose only fault is their checksum are loaded as read (they
    // are still reported in the findings).  Other faults always refuse.
    bool ignoreChecksums = false;
};

struct HexLoadResult {
    static constexpr std::size_t kMaxFindings = 8;

    HexLoadStatus status = HexLoadStatus::Ok;
    int line = 0;              // line of the offending record (1-based)
    unsigned address = 0;      // first address of the offending byte
    int sysError = 0;          // errno for FileError
    const char* fileKind = ""; // what the file is, for NotRegularFile ("a directory", ...)

    int records = 0;    // data records read (count above 0)
    int dataBytes = 0;  // data bytes placed in the image

    // Bad records: all of them counted, the first kMaxFindings kept.
    int badRecords = 0;
    bool otherThanChecksum = false;  // a bad record with a fault other than its checksum
    std::array<HexFinding, kMaxFindings> findings{};

    std::span<const HexFinding> Findings() const {
        return {findings.data(), static_cast<std::size_t>(badRecords) < kMaxFindings
                                     ? static_cast<std::size_t>(badRecords)
                                     : kMaxFindings};
    }
    // Refused only for wrong checksums: loading again with ignoreChecksums
    // takes the file.
    bool OnlyChecksums() const { return status == HexLoadStatus::BadRecords && !otherThanChecksum; }
};

// A HEX file of the whole image in one-byte records with CR LF is about
// 0.6 MiB; anything beyond this bound is no HEX file of a 40960-byte image.
inline constexpr std::size_t kMaxHexFileBytes = 4u * 1024u * 1024u;

// The value of a hexadecimal digit (either case); other characters are not
// digits (IsHexDigit) and give what the arithmetic yields.
std::uint8_t HexDigitValue(std::uint8_t ch);
constexpr bool IsHexDigit(std::uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Loads text into image (which the caller has filled with 0xFF).  Nothing is
// written outside image.
HexLoadResult LoadHex(std::span<const std::uint8_t> text, std::span<std::uint8_t> image,
                      HexLoadOptions options = {});

// Reads the file at path and loads it: a regular file only, read up to the
// record that ends the load and never more than kMaxHexFileBytes.
HexLoadResult LoadHexFile(const std::string& path, std::span<std::uint8_t> image, HexLoadOptions options = {});

// One finding in words: "line 101: checksum 3C, record sums to 3B".
std::string HexFindingText(const HexFinding& f);

// The bad records of a result, for a message: the file, the first finding and
// how many more there are ("fw.hex: line 101: checksum 3C, record sums to 3B;
// 2 more bad records").
std::string HexFindingsSummary(const std::string& path, const HexLoadResult& r);

// The operator's message for a refused load, naming the file and the reason.
std::string HexLoadMessage(const std::string& path, const HexLoadResult& r);
