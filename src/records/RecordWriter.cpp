#include "records/RecordWriter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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
    for (const char* k : {"error", "result", "exit"}) v.emplace_back(k);
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

std::vector<Field> Fields(const Row& row) {
    static const RunFields kNoRun;
    const RunFields& run = row.run ? *row.run : kNoRun;
    std::vector<Field> f;
    f.reserve(Columns().size());
    const auto text = [&](std::string_view s) { f.push_back(Field{false, std::string(s)}); };
    const auto num = [&](long long v, bool present = true) {
        f.push_back(Field{true, present ? std::to_string(v) : std::string()});
    };
    text(row.summary ? "summary" : "answer");
    text(FormatTime(row.timeMs));
    text(run.port);
    text(run.unit);
    text(run.command);
    text(run.arguments);
    num(row.answer);
    num(row.of);
    for (const int* v : {row.counts.requested, row.counts.dispensed, row.counts.rejected})
        for (int b = 0; b < kBoxes; ++b) num(v[b]);
    for (int k = 0; k < kReasons; ++k) num(row.counts.reasons[k]);
    num(row.error, row.error >= 0);
    text(row.result);
    num(row.exitStatus, row.exitStatus >= 0);
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
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
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
    const auto fail = [&](const std::string& why) {
        if (error) *error = "cannot write the record file " + path + ": " + why;
        return nullptr;
    };
    int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY;
    if (mode == Mode::Replace) flags |= O_TRUNC;
    if (mode == Mode::CreateNew) flags |= O_EXCL;
    if (mode == Mode::Append) flags = (flags & ~O_WRONLY) | O_RDWR;  // the header is read back
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) return fail(ErrnoText(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        return fail(ErrnoText(e));
    }
    bool needsNewline = false;
    std::string headerError;
    if (format == Format::Csv || mode == Mode::Append) {
        // Two writers that open an empty file at once must not both write the
        // header: the check and the header are made under the file's lock.
        ::flock(fd, LOCK_EX);
        if (::fstat(fd, &st) != 0) st.st_size = 0;
        const std::string header = CsvHeader() + "\r\n";
        if (st.st_size == 0) {
            if (format == Format::Csv &&
                ::write(fd, header.data(), header.size()) != static_cast<ssize_t>(header.size()))
                headerError = ErrnoText(errno);
        } else {
            std::string head(format == Format::Csv ? header.size() : 0, '\0');
            if (!head.empty() && (::pread(fd, head.data(), head.size(), 0) != static_cast<ssize_t>(head.size()) ||
                                  head != header))
                headerError = "it holds other columns than a batch record";
            char last = '\n';
            if (headerError.empty() && ::pread(fd, &last, 1, st.st_size - 1) == 1) needsNewline = last != '\n';
        }
        ::flock(fd, LOCK_UN);
    }
    if (!headerError.empty()) {
        ::close(fd);
        return fail(headerError);
    }
    return std::unique_ptr<RecordWriter>(new RecordWriter(fd, path, format, needsNewline));
}

RecordWriter::RecordWriter(int fd, std::string path, Format format, bool needsNewline)
    : m_fd(fd), m_path(std::move(path)), m_format(format), m_needsNewline(needsNewline) {}

RecordWriter::~RecordWriter() { ::close(m_fd); }

bool RecordWriter::WriteLine(const std::string& line) {
    if (Failed()) return false;
    const std::string* out = &line;
    std::string joined;
    if (m_needsNewline) {
        joined = (m_format == Format::Csv ? "\r\n" : "\n") + line;
        out = &joined;
    }
    std::size_t done = 0;
    while (done < out->size()) {
        const ssize_t n = ::write(m_fd, out->data() + done, out->size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            m_error = "cannot write the record file " + m_path + ": " + ErrnoText(n < 0 ? errno : EIO);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    m_needsNewline = false;
    return true;
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

bool RecordWriter::WriteSummary(const RunFields& run, const BatchRecord& batch, std::int64_t endMs,
                                int exitStatus) {
    Row row;
    row.summary = true;
    row.timeMs = endMs;
    row.run = &run;
    row.answer = batch.Answers();
    row.of = batch.Info().repeat;
    row.counts = batch.Totals();
    row.error = batch.LastError();
    row.result = OutcomeWord(batch.Result());
    row.exitStatus = exitStatus;
    return Write(row);
}

bool RecordWriter::WriteBatch(const RunFields& run, const BatchRecord& batch, std::int64_t endMs,
                              int exitStatus) {
    for (const AnswerRow& a : batch.Rows())
        if (!WriteAnswer(run, a)) return false;
    return WriteSummary(run, batch, endMs, exitStatus);
}

}  // namespace rec
