// Record files of dispense batches: CSV, or JSON lines when the file name ends
// in ".jsonl".  The window's batch record and zantu-cli --record write the same
// columns, so one spreadsheet reads both:
//
//   type        "answer" (one row per answer), "summary" (one per batch, last)
//               or "download" (one per firmware download)
//   time        local time of the answer (summary: of the batch's end) with
//               its UTC offset, "YYYY-MM-DD HH:MM:SS.mmm+HH:MM"
//   port        the port's device or name (empty where unknown)
//   unit        the module's identity as given (zantu-cli --unit, the
//               window's Unit field; else empty)
//   command     dispense, test-dispense, zigzag or purge
//   arguments   the requests and the repeat count: "5 0 2 0 --repeat 10"
//   answer, of  answer k of n (summary: the answers that came, of n)
//   requested_1..4, dispensed_1..4, rejected_1..4
//               per box, of the answer (summary: the batch's sums, the
//               request of a send whose answer never came included)
//   reason_reject, reason_rvdt, reason_len, reason_skw, reason_dst,
//   reason_flen, reason_fdst
//               rejects by reason, of the answer (summary: the batch's sums)
//               A summary whose counts are not known (a send's answer never
//               came) leaves dispensed, rejected and the reasons empty.
//   error       the answer's device error code, decimal (summary: the last
//               one of the batch); empty: none
//   result      summary and download: ok, device_error, link_failed,
//               interrupted, stopped, ... (zantu-cli: its result word)
//   exit        summary and download: the exit status (zantu-cli; empty in
//               the window)
//   message     summary and download: why the run ended so (zantu-cli's
//               summary message)
//   run         an id shared by every row of one run of the program
//   station     the computer's host name, or the station given
//   version     the writing program's name and version ("zantu-cli 1.2")
//   started     summary and download: the batch's (download's) start, as time
//   image, image_crc32, image_sum, blocks, verify
//               download: the HEX file, the CRC-32 of its 40960-byte image
//               and the 16-bit sum Verify sends (hexadecimal), the blocks
//               the flash holds, and Verify's result (ok, failed or empty
//               for not run)
//
// A CSV file has one header line; fields are quoted as RFC 4180 says (a field
// with a comma, a double quote, a line break or an outer blank is quoted, its
// quotes doubled).  A JSON-lines file has one object per line whose keys are
// the column names; numbers are numbers and an empty field is null.
//
// Every row goes out as one append of a whole line under the file's lock, so
// rows are never torn apart by another writer of the same file (several
// ports of one run, or two runs).  A row the file system cannot take whole
// (a full disk, a size limit) is cut back: the file holds whole rows or
// none, and the writer writes nothing more.  A file whose last line was cut
// short by a run that was killed mid-row gets a line break before the next
// row, and Notice() says so.  A writer is used by one thread at a time.
#pragma once

#include "records/BatchRecord.h"
#include "records/RecordFile.h"

#include <cstdint>
#include <memory>
#include <optional>
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
    std::string run;      // an id shared by the rows of one run
    std::string station;  // the host name, or as given
    std::string version;  // "zantu-cli 1.2"
};

// An id for one run of a program: its start time and process id
// ("20261209T140327-4711").
std::string NewRunId();
// The computer's host name ("" when it cannot be read).
std::string HostName();

// What a download row adds.
struct DownloadFields {
    std::string image;                    // the HEX file
    std::optional<std::uint32_t> crc32;   // of the 40960-byte image
    std::optional<std::uint16_t> sum;     // the image sum Verify sends
    int blocks = -1;                      // the blocks the flash holds
    std::string verify;                   // "ok", "failed", "" (not run)
};

// One row as written.  Empty or negative fields are written empty (null).
struct Row {
    enum class Kind : std::uint8_t { Answer, Summary, Download };
    Kind kind = Kind::Answer;
    std::int64_t timeMs = 0;  // wall clock, ms since 1970
    std::int64_t startMs = 0; // the batch's start; 0: not written
    const RunFields* run = nullptr;
    int answer = 0, of = 0;   // Download: not written
    Counts counts;            // Download: not written
    bool countsKnown = true;  // false: dispensed, rejected and reasons empty
    int error = -1;           // device error code, -1: none
    std::string_view result;  // summary and download
    int exitStatus = -1;      // summary and download, -1: not known
    std::string_view message; // summary and download
    const DownloadFields* download = nullptr;
};

// The CSV header line (without its line break).
std::string CsvHeader();
// One row, with its line break.
std::string FormatRow(Format f, const Row& row);
// "YYYY-MM-DD HH:MM:SS.mmm+HH:MM": local time and its offset from UTC.
std::string FormatTime(std::int64_t ms);
// The summary row of a batch.
Row SummaryRow(const RunFields& run, const BatchRecord& batch, std::int64_t endMs, int exitStatus = -1);

class RecordWriter {
public:
    // Append: add to the file, made if missing (a CSV file gets its header
    // when empty); Replace: a new file in place of any old one ("Save as");
    // CreateNew: a new file, failing if the name is taken.
    using Mode = RecordFile::Mode;

    // Opens path.  Null, with the reason in plain words in *error, when it
    // cannot: the folder is missing or not writable, the name is taken
    // (CreateNew), or a CSV file to append to holds other columns.
    static std::unique_ptr<RecordWriter> Open(const std::string& path, Mode mode, std::string* error);
    // As Open, in the given format whatever the name.
    static std::unique_ptr<RecordWriter> Open(const std::string& path, Mode mode, Format format,
                                              std::string* error);
    // As Open, on a file already open (a test's file that runs out of room).
    static std::unique_ptr<RecordWriter> OnFile(std::unique_ptr<RecordFile> file, const std::string& path,
                                                Mode mode, Format format, std::string* error);
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
    // Rows written whole so far.
    int RowsWritten() const { return m_rows; }
    // Said once when the file was opened: its last line had been cut short,
    // and this writer's rows begin on a fresh line.  "" otherwise.
    const std::string& Notice() const { return m_notice; }

    const std::string& Path() const { return m_path; }
    Format FileFormat() const { return m_format; }
    bool Failed() const { return !m_error.empty(); }
    const std::string& Error() const { return m_error; }

private:
    RecordWriter(std::unique_ptr<RecordFile> file, std::string path, Format format);
    bool WriteLine(const std::string& line);

    std::unique_ptr<RecordFile> m_file;
    std::string m_path;
    Format m_format;
    std::string m_error;
    std::string m_notice;
    int m_rows = 0;
};

}  // namespace rec
