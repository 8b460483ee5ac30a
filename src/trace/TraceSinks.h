// Where wire trace lines go: a bounded store of the newest lines (for the
// window) and a file that every line is appended to and flushed at once.
// Sinks are called on the user-interface thread and never wait.
#pragma once

#include "files/FileIo.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace trace {

// Kinds of line, for the window's filter (a line may be both).
inline constexpr std::uint8_t kFrameLine = 1;  // a host or response frame
inline constexpr std::uint8_t kErrorLine = 2;  // a resend, NAK, bad BCC, device error, noise, time-out, lost port

struct Line {
    std::uint64_t tUs = 0;  // microseconds since the port was opened
    std::uint8_t flags = 0;
    std::string_view text;  // time, direction, bytes and meaning; no line end
    std::int64_t wallMs = 0;  // wall-clock time, ms since 1970 (0: not known)
};

class LineSink {
public:
    virtual ~LineSink() = default;
    virtual void Put(const Line& line) = 0;
};

// The newest lines, at most `capacity` of them and at most `textBytes` bytes
// of text (the oldest go first when either is reached; a longer line is cut
// to textBytes).  Lines are numbered in the order they came, from 0; Clear
// drops every line held and the numbering goes on.  The text lies in one ring
// of bytes, each line whole, with a small index entry per line: the store
// takes its room as lines come and never more than its two bounds.
class LineStore final : public LineSink {
public:
    static constexpr std::size_t kDefaultCapacity = 100000;
    // 125 bytes a line on average (an exchange's four lines take 66 each, a
    // firmware block's frame 420): a full store takes about 14 MB.
    static constexpr std::size_t kDefaultTextBytes = 12u << 20;

    explicit LineStore(std::size_t capacity = kDefaultCapacity, std::size_t textBytes = kDefaultTextBytes);
    LineStore(const LineStore&) = delete;
    LineStore& operator=(const LineStore&) = delete;
    void Put(const Line& line) override;
    void Clear();

    std::size_t Capacity() const { return m_capacity; }
    std::size_t TextCapacity() const { return m_textBytes; }
    // Lines held: numbers Begin() .. End() - 1.
    std::uint64_t Begin() const { return m_begin; }
    std::uint64_t End() const { return m_end; }
    std::size_t Size() const { return static_cast<std::size_t>(m_end - m_begin); }
    // The line numbered n, or "" (flags 0) when it is not held.
    std::string_view Text(std::uint64_t n) const;
    std::uint8_t Flags(std::uint64_t n) const;
    // Its wall-clock time (0: not known, or not held).
    std::int64_t WallMs(std::uint64_t n) const;

private:
    struct Entry {
        std::uint64_t at = 0;  // where the text starts, counted in bytes ever put in the ring
        std::int64_t wallMs = 0;
        std::uint32_t size = 0;
        std::uint8_t flags = 0;
    };
    const Entry* Find(std::uint64_t n) const;

    std::size_t m_capacity;
    std::size_t m_textBytes;
    std::vector<Entry> m_index;           // grows to m_capacity, then reused in a ring
    std::unique_ptr<char[]> m_text;       // the ring of m_textBytes bytes, touched as it fills
    std::uint64_t m_textEnd = 0;          // the ring position after the newest line
    std::uint64_t m_begin = 0, m_end = 0;
};

// Appends each line to a file with the wall-clock time of day in front
// ("14:03:27.123 ", the line's own time when it has one), one write per line, so that the file holds every line
// written before the program was stopped, even by a kill.  A file that is not
// a regular file (a pipe, a terminal) is written without waiting: a line it
// cannot take at once is lost and counted, rather than holding up the console.
class FileSink final : public LineSink {
public:
    // Opens (creating if missing) path for appending and writes its header:
    // `header` (whole lines) when given, else a first line "# wire trace
    // started YYYY-MM-DD HH:MM:SS".  On failure returns nothing and sets
    // *error to a sentence that names the file and the reason.
    static std::unique_ptr<FileSink> Open(const std::string& path, std::string* error,
                                          std::string_view header = {});
    ~FileSink() override;
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    void Put(const Line& line) override;

    const std::string& Path() const { return m_path; }
    // Lines that could not be written whole.
    std::uint64_t LinesLost() const { return m_lost; }
    // Told once, with a sentence, when a line first cannot be written.
    void SetFailureReport(std::function<void(const std::string&)> report) { m_report = std::move(report); }

private:
    FileSink(files::File file, std::string path);
    bool WriteAll(const char* p, std::size_t n);
    void AppendWallClock(std::int64_t wallMs);

    files::File m_file;
    std::string m_path;
    std::string m_buf;  // the line being written, reused
    long long m_cachedSec = -1;
    char m_hms[16] = {};  // "HH:MM:SS" of m_cachedSec
    std::uint64_t m_lost = 0;
    bool m_reported = false;
    std::function<void(const std::string&)> m_report;
};

}  // namespace trace
