// Record files of dispense batches: CSV, or JSON lines when the file name ends
// in ".jsonl".  The window's batch record and zantu-cli --record write the same
// columns, so one spreadsheet reads both:
//
//   type        "answer" (one row per answer) or "summary" (one per batch, last)
//   time        local time of the answer (summary: of the batch's end),
//               "YYYY-MM-DD HH:MM:SS.mmm"
//   port        the port's device or name (empty where unknown)
//   unit        the module's identity as given (zantu-cli --unit; else empty)
//   command     dispense, test-dispense, zigzag or purge
//   arguments   the requests and the repeat count: "5 0 2 0 --repeat 10"
//   answer, of  answer k of n (summary: the answers that came, of n)
//   requested_1..4, dispensed_1..4, rejected_1..4
//               per box, of the answer (summary: the batch's sums)
//   reason_reject, reason_rvdt, reason_len, reason_skw, reason_dst,
//   reason_flen, reason_fdst
//               rejects by reason, of the answer (summary: the batch's sums)
//   error       the answer's device error code, decimal (summary: the last
//               one of the batch); empty: none
//   result      summary: ok, device_error, link_failed, interrupted, ...
//   exit        summary: the exit status (zantu-cli; empty in the window)
//
// A CSV file has one header line; fields are quoted as RFC 4180 says (a field
// with a comma, a double quote, a line break or an outer blank is quoted, its
// quotes doubled).  A JSON-lines file has one object per line whose keys are
// the column names; numbers are numbers and an empty field is null.
//
// Every row goes out as one write of a whole line to a descriptor opened with
// O_APPEND, so rows are never torn apart by another writer of the same file
// (several ports of one run, or two runs).  A writer is used by one thread at
// a time.
#pragma once

#include "records/BatchRecord.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace rec {

enum class Format : std::uint8_t { Csv, JsonLines };
// JsonLines for a name ending in ".jsonl", else Csv.
Format FormatFor(std::string_view path);

// The fields that are the same for every row of a run.
struct RunFields {
    std::string port;
    std::string unit;
    std::string command;
    std::string arguments;
};

// One row as written.  Empty or negative fields are written empty (null).
struct Row {
    bool summary = false;
    std::int64_t timeMs = 0;  // wall clock, ms since 1970
    const RunFields* run = nullptr;
    int answer = 0, of = 0;
    Counts counts;
    int error = -1;           // device error code, -1: none
    std::string_view result;  // summary only
    int exitStatus = -1;      // summary only, -1: not known
};

// The CSV header line (without its line break).
std::string CsvHeader();
// One row, with its line break.
std::string FormatRow(Format f, const Row& row);
// "YYYY-MM-DD HH:MM:SS.mmm" in local time.
std::string FormatTime(std::int64_t ms);

class RecordWriter {
public:
    enum class Mode : std::uint8_t {
        Append,     // add to the file, made if missing (a CSV file gets its header when empty)
        Replace,    // a new file in place of any old one ("Save as")
        CreateNew,  // a new file; fails if the name is taken
    };

    // Opens path.  Null, with the reason in plain words in *error, when it
    // cannot: the folder is missing or not writable, the name is taken
    // (CreateNew), or a CSV file to append to holds other columns.
    static std::unique_ptr<RecordWriter> Open(const std::string& path, Mode mode, std::string* error);
    // As Open, in the given format whatever the name.
    static std::unique_ptr<RecordWriter> Open(const std::string& path, Mode mode, Format format,
                                              std::string* error);
    ~RecordWriter();
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    // Each returns false once a write has failed (Error() says why); after the
    // first failure nothing more is written, so the file stays whole lines.
    bool Write(const Row& row);
    bool WriteAnswer(const RunFields& run, const AnswerRow& answer);
    bool WriteSummary(const RunFields& run, const BatchRecord& batch, std::int64_t endMs, int exitStatus = -1);
    // Every kept row of the batch, then its summary.
    bool WriteBatch(const RunFields& run, const BatchRecord& batch, std::int64_t endMs, int exitStatus = -1);

    const std::string& Path() const { return m_path; }
    Format FileFormat() const { return m_format; }
    bool Failed() const { return !m_error.empty(); }
    const std::string& Error() const { return m_error; }

private:
    RecordWriter(int fd, std::string path, Format format, bool needsNewline);
    bool WriteLine(const std::string& line);

    int m_fd;
    std::string m_path;
    Format m_format;
    bool m_needsNewline;  // the file did not end with a line break
    std::string m_error;
};

}  // namespace rec
