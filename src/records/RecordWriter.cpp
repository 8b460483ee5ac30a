#include "records/RecordWriter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace rec {

namespace {

constexpr std::string_view kReasonKeys[kReasons] = {"reason_reject", "reason_rvdt", "reason_len",
                                                    "reason_skw",    "reason_dst",  "reason_flen",
                                                    "reason_fdst"};

// The columns in order; the number columns' values come from ColumnValue.
std::vector<std::string> ColumnNames() {
    std::vector<std::string> v = {"type", "time", "port", "unit", "command", "arguments", "answer", "of"};
    for (const char* what : {"requested", "dispensed", "rejected"})
        for (int b = 1; b <= kBoxes; ++b) v.push_back(std::string(what) + "_" + std::to_string(b));
    for (std::string_view k : kReasonKeys) v.emplace_back(k);
    for (const char* k : {"error", "result", "exit", "message", "run", "station", "version", "started", "image",
                          "image_crc32", "image_sum", "blocks", "verify"})
        v.emplace_back(k);
    return v;
}

const std::vector<std::string>& Columns() {
    static const std::vector<std::string> columns = ColumnNames();
    return columns;
}

bool NeedsQuotes(std::string_view s) {
    if (s.empty()) return false;
    if (s.front() == ' ' || s.back() == ' ' || s.front() == '\t' || s.back() == '\t') return true;
    return s.find_first_of(",\"\r\n") != std::string_view::npos;
}

void AppendCsv(std::string& out, std::string_view s) {
    if (!NeedsQuotes(s)) {
        out += s;
        return;
    }
    out += '"';
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

// Length of the valid UTF-8 sequence at s[i], 0 if it is not one.
std::size_t Utf8Length(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned c = b(i);
    std::size_t n = 0;
    unsigned min = 0, cp = 0;
    if (c < 0x80) return 1;
    if ((c & 0xE0) == 0xC0) n = 2, min = 0x80, cp = c & 0x1F;
    else if ((c & 0xF0) == 0xE0) n = 3, min = 0x800, cp = c & 0x0F;
    else if ((c & 0xF8) == 0xF0) n = 4, min = 0x10000, cp = c & 0x07;
    else return 0;
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

// A JSON string; bytes that are not UTF-8 become U+FFFD.
void AppendJsonString(std::string& out, std::string_view s) {
    out += '"';
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
            ++i;
        } else if (const std::size_t n = Utf8Length(s, i); n > 0) {
            out.append(s.substr(i, n));
            i += n;
        } else {
            out += "\\ufffd";
            ++i;
        }
    }
    out += '"';
}

// The row's fields in column order: text, or a number (empty: none).
struct Field {
    bool number = false;
    std::string text;
};

std::string HexText(std::uint32_t v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", digits, static_cast<unsigned>(v));
    return buf;
}

std::vector<Field> Fields(const Row& row) {
    static const RunFields kNoRun;
    const RunFields& run = row.run ? *row.run : kNoRun;
    const bool download = row.kind == Row::Kind::Download;
    std::vector<Field> f;
    f.reserve(Columns().size());
    const auto text = [&](std::string_view s) { f.push_back(Field{false, std::string(s)}); };
    const auto num = [&](long long v, bool present = true) {
        f.push_back(Field{true, present ? std::to_string(v) : std::string()});
    };
    text(row.kind == Row::Kind::Summary ? "summary" : download ? "download" : "answer");
    text(FormatTime(row.timeMs));
    text(run.port);
    text(run.unit);
    text(run.command);
    text(run.arguments);
    num(row.answer, !download);
    num(row.of, !download);
    const bool known = row.countsKnown && !download;
    for (int b = 0; b < kBoxes; ++b) num(row.counts.requested[b], !download);
    for (const int* v : {row.counts.dispensed, row.counts.rejected})
        for (int b = 0; b < kBoxes; ++b) num(v[b], known);
    for (int k = 0; k < kReasons; ++k) num(row.counts.reasons[k], known);
    num(row.error, row.error >= 0);
    text(row.result);
    num(row.exitStatus, row.exitStatus >= 0);
    text(row.message);
    text(run.run);
    text(run.station);
    text(run.version);
    text(row.startMs != 0 ? FormatTime(row.startMs) : std::string());
    const DownloadFields* d = row.download;
    text(d ? d->image : std::string());
    text(d && d->crc32 ? HexText(*d->crc32, 8) : std::string());
    text(d && d->sum ? HexText(*d->sum, 4) : std::string());
    num(d ? d->blocks : -1, d && d->blocks >= 0);
    text(d ? d->verify : std::string());
    return f;
}

std::string ErrnoText(int e) { return std::strerror(e); }

}  // namespace

Format FormatFor(std::string_view path) {
    constexpr std::string_view kJsonl = ".jsonl";
    return path.size() > kJsonl.size() && path.substr(path.size() - kJsonl.size()) == kJsonl ? Format::JsonLines
                                                                                             : Format::Csv;
}

std::string CsvHeader() {
    std::string s;
    for (const std::string& c : Columns()) {
        if (!s.empty()) s += ',';
        s += c;
    }
    return s;
}

std::string FormatTime(std::int64_t ms) {
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    // Minutes east of UTC: the local time less the UTC time of the same
    // instant (no tm_gmtoff in every C library).
    std::tm utc{};
    gmtime_r(&t, &utc);
    const long days = tm.tm_year != utc.tm_year ? (tm.tm_year > utc.tm_year ? 1 : -1) : tm.tm_yday - utc.tm_yday;
    const long off = days * 1440 + (tm.tm_hour - utc.tm_hour) * 60L + (tm.tm_min - utc.tm_min);
    const long absOff = off < 0 ? -off : off;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d%c%02ld:%02ld", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000),
                  off < 0 ? '-' : '+', absOff / 60, absOff % 60);
    return buf;
}

std::string FormatRow(Format format, const Row& row) {
    const std::vector<Field> fields = Fields(row);
    std::string out;
    out.reserve(256);
    if (format == Format::Csv) {
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (i) out += ',';
            AppendCsv(out, fields[i].text);
        }
        out += "\r\n";
        return out;
    }
    out += '{';
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i) out += ',';
        AppendJsonString(out, Columns()[i]);
        out += ':';
        if (fields[i].number)
            out += fields[i].text.empty() ? std::string("null") : fields[i].text;
        else if (fields[i].text.empty() && i >= 2)  // type and time are always there
            out += "null";
        else
            AppendJsonString(out, fields[i].text);
    }
    out += "}\n";
    return out;
}

std::unique_ptr<RecordWriter> RecordWriter::Open(const std::string& path, Mode mode, std::string* error) {
    return Open(path, mode, FormatFor(path), error);
}

std::unique_ptr<RecordWriter> RecordWriter::Open(const std::string& path, Mode mode, Format format,
                                                 std::string* error) {
    errno = 0;
    std::unique_ptr<RecordFile> file = OpenRecordFile(path, mode);
    if (!file) {
        if (error) *error = "cannot write the record file " + path + ": " + ErrnoText(errno ? errno : EIO);
        return nullptr;
    }
    return OnFile(std::move(file), path, mode, format, error);
}

std::unique_ptr<RecordWriter> RecordWriter::OnFile(std::unique_ptr<RecordFile> file, const std::string& path,
                                                   Mode mode, Format format, std::string* error) {
    const auto fail = [&](const std::string& why) {
        if (error) *error = "cannot write the record file " + path + ": " + why;
        return nullptr;
    };
    std::string headerError, notice;
    if (format == Format::Csv || mode == Mode::Append) {
        // Two writers that open an empty file at once must not both write the
        // header: the check and the header are made under the file's lock.
        file->Lock();
        std::int64_t size = file->Size();
        if (size < 0) size = 0;
        const std::string header = CsvHeader() + "\r\n";
        if (size == 0) {
            if (format == Format::Csv) {
                errno = 0;
                if (file->Append(header.data(), header.size()) != static_cast<std::int64_t>(header.size())) {
                    headerError = ErrnoText(errno ? errno : ENOSPC);
                    file->Truncate(0);
                }
            }
        } else {
            std::string head(format == Format::Csv ? header.size() : 0, '\0');
            if (!head.empty() && (file->ReadAt(head.data(), head.size(), 0) != static_cast<std::int64_t>(head.size()) ||
                                  head != header))
                headerError = head.rfind("type,time,port,unit,command,arguments,", 0) == 0
                                  ? "it holds the columns of an older batch record (begin a new file)"
                                  : "it holds other columns than a batch record";
            char last = '\n';
            if (headerError.empty() && file->ReadAt(&last, 1, size - 1) == 1 && last != '\n')
                notice = "the last line of the record file " + path +
                         " was cut short (a run that ended mid-row); this run's rows begin on a fresh line";
        }
        file->Unlock();
    }
    if (!headerError.empty()) return fail(headerError);
    std::unique_ptr<RecordWriter> w(new RecordWriter(std::move(file), path, format));
    w->m_notice = std::move(notice);
    return w;
}

RecordWriter::RecordWriter(std::unique_ptr<RecordFile> file, std::string path, Format format)
    : m_file(std::move(file)), m_path(std::move(path)), m_format(format) {}

RecordWriter::~RecordWriter() = default;

bool RecordWriter::WriteLine(const std::string& line) {
    if (Failed()) return false;
    // Under the lock: the size before the row, so a row the file system takes
    // only in part is cut back and the file keeps whole rows; and the last
    // byte, so a row never continues a line another run left torn.
    m_file->Lock();
    const std::int64_t before = m_file->Size();
    std::string joined;
    const std::string* out = &line;
    char last = '\n';
    if (before > 0 && m_file->ReadAt(&last, 1, before - 1) == 1 && last != '\n') {
        joined = (m_format == Format::Csv ? "\r\n" : "\n") + line;
        out = &joined;
    }
    errno = 0;
    const std::int64_t n = m_file->Append(out->data(), out->size());
    const int e = errno;
    if (n != static_cast<std::int64_t>(out->size())) {
        const bool cut = n > 0 && before >= 0 && m_file->Truncate(before);
        m_error = "cannot write the record file " + m_path + ": " + ErrnoText(e ? e : ENOSPC) +
                  (n <= 0 ? " (the file holds every row before this one)"
                   : cut  ? " (the row it could take only in part was cut back: the file holds every row before it)"
                          : " (the row it could take only in part could not be cut back)");
    } else {
        ++m_rows;
    }
    m_file->Unlock();
    return !Failed();
}

bool RecordWriter::Write(const Row& row) { return WriteLine(FormatRow(m_format, row)); }

bool RecordWriter::WriteAnswer(const RunFields& run, const AnswerRow& answer) {
    Row row;
    row.timeMs = answer.timeMs;
    row.run = &run;
    row.answer = answer.index;
    row.of = answer.of;
    row.counts = answer.counts;
    row.error = answer.error;
    return Write(row);
}

Row SummaryRow(const RunFields& run, const BatchRecord& batch, std::int64_t endMs, int exitStatus) {
    Row row;
    row.kind = Row::Kind::Summary;
    row.timeMs = endMs;
    row.startMs = batch.Info().startMs;
    row.run = &run;
    row.answer = batch.Answers();
    row.of = batch.Info().repeat;
    const Summary sum = batch.Summary();
    row.counts = sum.counts;
    row.countsKnown = sum.countsKnown;
    row.error = batch.LastError();
    row.result = OutcomeWord(batch.Result());
    row.exitStatus = exitStatus;
    return row;
}

bool RecordWriter::WriteSummary(const RunFields& run, const BatchRecord& batch, std::int64_t endMs,
                                int exitStatus) {
    return Write(SummaryRow(run, batch, endMs, exitStatus));
}

bool RecordWriter::WriteBatch(const RunFields& run, const BatchRecord& batch, std::int64_t endMs,
                              int exitStatus) {
    for (const AnswerRow& a : batch.Rows())
        if (!WriteAnswer(run, a)) return false;
    return WriteSummary(run, batch, endMs, exitStatus);
}

}  // namespace rec
