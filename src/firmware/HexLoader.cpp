#include "firmware/HexLoader.h"

#include "files/FileIo.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

std::uint8_t HexDigitValue(std::uint8_t ch) {
    std::uint8_t v = static_cast<std::uint8_t>(ch - 0x30);
    if (v > 9) v = static_cast<std::uint8_t>(v - 7);
    if (v > 15) v = static_cast<std::uint8_t>(v - 0x20);
    return v;
}

namespace {

// Record types with a meaning of their own; every other type is data.
constexpr std::uint8_t kTypeEnd = 0x01;
constexpr std::uint8_t kTypeSegment = 0x02;     // extended segment address
constexpr std::uint8_t kTypeStartSeg = 0x03;    // start segment address
constexpr std::uint8_t kTypeLinear = 0x04;      // extended linear address
constexpr std::uint8_t kTypeStartLinear = 0x05; // start linear address

// Bytes of a text in memory.
class SpanSource {
public:
    explicit SpanSource(std::span<const std::uint8_t> t) : m_t(t) {}
    bool Get(std::uint8_t& c) {
        if (m_pos >= m_t.size()) return false;
        c = m_t[m_pos++];
        return true;
    }

private:
    std::span<const std::uint8_t> m_t;
    std::size_t m_pos = 0;
};

// Bytes of an open file, read a buffer at a time and never beyond the bound.
class FileSource {
public:
    explicit FileSource(files::File& file) : m_file(file) {}
    bool Get(std::uint8_t& c) {
        if (m_pos == m_len && !Fill()) return false;
        c = m_buf[m_pos++];
        return true;
    }
    int Error() const { return m_err; }
    bool OverBound() const { return m_over; }

private:
    bool Fill() {
        if (m_err || m_over || m_eof) return false;
        for (;;) {
            errno = 0;
            const long long n = m_file.Read(m_buf, sizeof m_buf);
            if (n < 0) {
                m_err = errno ? errno : EIO;
                return false;
            }
            if (n == 0) {
                m_eof = true;
                return false;
            }
            m_total += static_cast<std::size_t>(n);
            if (m_total > kMaxHexFileBytes) {  // the file grew past the bound
                m_over = true;
                return false;
            }
            m_pos = 0;
            m_len = static_cast<std::size_t>(n);
            return true;
        }
    }

    files::File& m_file;
    std::uint8_t m_buf[4096];
    std::size_t m_pos = 0, m_len = 0, m_total = 0;
    int m_err = 0;
    bool m_over = false, m_eof = false;
};

// Lines of a text, one at a time: LF, CR LF and CR each end a line.  A line
// longer than kMaxLine keeps its first kMaxLine characters and says so.
template <class Source>
class LineReader {
public:
    // 1 + 2 * (5 + 255) digits is the longest record; room for blanks around it.
    static constexpr std::size_t kMaxLine = 600;

    explicit LineReader(Source& s) : m_s(s) {}

    // The next line, without its end; false at the end of the text when
    // nothing was left to read.
    bool Next() {
        m_len = 0;
        m_overlong = false;
        m_number = m_nextNumber;
        bool any = false;
        for (;;) {
            std::uint8_t c;
            if (!m_s.Get(c)) return any;
            if (!any && m_afterCr && c == '\n') {  // the LF of a CR LF
                m_afterCr = false;
                continue;
            }
            m_afterCr = false;
            any = true;
            if (c == '\r' || c == '\n') {
                m_afterCr = c == '\r';
                ++m_nextNumber;
                return true;
            }
            if (m_len < kMaxLine) m_buf[m_len++] = c;
            else m_overlong = true;
        }
    }
    std::span<const std::uint8_t> Text() const { return {m_buf.data(), m_len}; }
    bool Overlong() const { return m_overlong; }
    int Number() const { return m_number; }

private:
    Source& m_s;
    std::array<std::uint8_t, kMaxLine> m_buf{};
    std::size_t m_len = 0;
    bool m_overlong = false;
    bool m_afterCr = false;
    int m_number = 0;
    int m_nextNumber = 1;
};

bool IsBlank(std::uint8_t c) { return c == ' ' || c == '\t'; }

void AddFinding(HexLoadResult& r, const HexFinding& f) {
    if (static_cast<std::size_t>(r.badRecords) < HexLoadResult::kMaxFindings)
        r.findings[static_cast<std::size_t>(r.badRecords)] = f;
    ++r.badRecords;
    if (f.fault != HexFault::Checksum) r.otherThanChecksum = true;
}

// A refusal that ends the load at once; the findings so far stay with it.
HexLoadResult Refuse(HexLoadResult r, HexLoadStatus status, int line, unsigned address) {
    r.status = status;
    r.line = line;
    r.address = address;
    return r;
}

// Ends a load that reached its last record: bad records refuse it, unless
// they are only wrong checksums and those are to be ignored.
HexLoadResult Finish(HexLoadResult r, const HexLoadOptions& opt) {
    if (r.badRecords > 0 && (r.otherThanChecksum || !opt.ignoreChecksums)) r.status = HexLoadStatus::BadRecords;
    return r;
}

template <class Source>
HexLoadResult Parse(Source& src, std::span<std::uint8_t> image, const HexLoadOptions& opt) {
    HexLoadResult r;
    LineReader<Source> lines(src);
    std::array<std::uint8_t, LineReader<Source>::kMaxLine / 2> rec{};
    while (lines.Next()) {
        const int line = lines.Number();
        std::span<const std::uint8_t> t = lines.Text();
        std::size_t lead = 0;
        while (lead < t.size() && IsBlank(t[lead])) ++lead;
        std::size_t end = t.size();
        while (end > lead && IsBlank(t[end - 1])) --end;
        if (lines.Overlong()) {
            AddFinding(r, {.fault = HexFault::TooLong, .line = line});
            continue;
        }
        if (end == lead) continue;  // a blank line
        if (t[lead] != ':') {
            AddFinding(r, {.fault = HexFault::NotRecord, .line = line});
            continue;
        }
        // The digits after ':', each a hexadecimal digit.
        const std::span<const std::uint8_t> digits = t.subspan(lead + 1, end - lead - 1);
        std::size_t bad = digits.size();
        for (std::size_t i = 0; i < digits.size() && bad == digits.size(); ++i)
            if (!IsHexDigit(digits[i])) bad = i;
        if (bad < digits.size()) {
            AddFinding(r, {.fault = HexFault::Character,
                           .line = line,
                           .column = static_cast<int>(lead + 2 + bad),
                           .ch = digits[bad]});
            continue;
        }
        const int have = static_cast<int>(digits.size());
        const int want = digits.size() >= 2
                             ? 2 * (HexDigitValue(digits[0]) * 16 + HexDigitValue(digits[1]) + 5)
                             : 10;
        if (have != want) {
            AddFinding(r, {.fault = HexFault::Length, .line = line, .wantDigits = want, .haveDigits = have});
            continue;
        }
        const std::size_t n = digits.size() / 2;
        unsigned sum = 0;
        for (std::size_t i = 0; i < n; ++i) {
            rec[i] = static_cast<std::uint8_t>(HexDigitValue(digits[2 * i]) * 16 + HexDigitValue(digits[2 * i + 1]));
            if (i + 1 < n) sum += rec[i];
        }
        const auto needed = static_cast<std::uint8_t>(0x100u - (sum & 0xFFu));
        if (needed != rec[n - 1])
            AddFinding(r, {.fault = HexFault::Checksum, .line = line, .stated = rec[n - 1], .needed = needed});

        const std::uint8_t count = rec[0];
        const unsigned address = rec[1] * 256u + rec[2];
        const std::uint8_t type = rec[3];
        const std::span<const std::uint8_t> data(rec.data() + 4, count);
        if (type == kTypeEnd) return Finish(r, opt);
        if (type == kTypeSegment || type == kTypeLinear) {
            for (std::uint8_t b : data)
                if (b != 0) return Refuse(r, HexLoadStatus::ExtendedAddress, line, address);
        } else if (type != kTypeStartSeg && type != kTypeStartLinear && count > 0) {
            for (unsigned i = 0; i < count; ++i) {
                const unsigned a = address + i;  // not wrapped at 16 bits
                if (a >= image.size()) return Refuse(r, HexLoadStatus::OutsideImage, line, a);
                image[a] = data[i];
            }
            ++r.records;
            r.dataBytes += count;
        }
        if (count == 0) return Finish(r, opt);
    }
    // The text ended before the record that ends the load.  Bad records
    // found on the way (perhaps the end record itself) are the better report.
    if (r.badRecords > 0) {
        AddFinding(r, {.fault = HexFault::NoEnd, .line = lines.Number()});
        r.status = HexLoadStatus::BadRecords;
        return r;
    }
    return Refuse(r, HexLoadStatus::Truncated, lines.Number(), 0);
}

HexLoadResult Failed(HexLoadStatus status, int sysError = 0, const char* kind = "") {
    HexLoadResult r;
    r.status = status;
    r.sysError = sysError;
    r.fileKind = kind;
    return r;
}

}  // namespace

HexLoadResult LoadHex(std::span<const std::uint8_t> text, std::span<std::uint8_t> image, HexLoadOptions options) {
    SpanSource src(text);
    return Parse(src, image, options);
}

HexLoadResult LoadHexFile(const std::string& path, std::span<std::uint8_t> image, HexLoadOptions options) {
    // Not waiting, so that opening a FIFO without a writer does not hang.
    files::File file = files::File::Open(path, files::kRead | files::kNoWait);
    if (!file) {
        if (errno == EISDIR) return Failed(HexLoadStatus::NotRegularFile, 0, files::KindWords(files::Kind::Directory));
        return Failed(HexLoadStatus::FileError, errno);
    }
    const files::Kind kind = file.GetKind();
    if (kind != files::Kind::Regular) return Failed(HexLoadStatus::NotRegularFile, 0, files::KindWords(kind));
    const std::int64_t size = file.Size();
    if (size < 0) return Failed(HexLoadStatus::FileError, errno);
    if (static_cast<std::uintmax_t>(size) > kMaxHexFileBytes) return Failed(HexLoadStatus::TooLarge);
    FileSource src(file);
    HexLoadResult r = Parse(src, image, options);
    if (src.Error()) return Failed(HexLoadStatus::FileError, src.Error());
    if (src.OverBound()) return Failed(HexLoadStatus::TooLarge);
    return r;
}

std::string HexFindingText(const HexFinding& f) {
    char msg[160];
    const int n = std::snprintf(msg, sizeof msg, "line %d: ", f.line);
    char* p = msg + n;
    const std::size_t room = sizeof msg - static_cast<std::size_t>(n);
    switch (f.fault) {
    case HexFault::Checksum:
        std::snprintf(p, room, "checksum %02X, record sums to %02X", f.stated, f.needed);
        break;
    case HexFault::Character:
        if (f.ch > 0x20 && f.ch < 0x7F)
            std::snprintf(p, room, "'%c' in column %d is no hexadecimal digit", f.ch, f.column);
        else
            std::snprintf(p, room, "byte 0x%02X in column %d is no hexadecimal digit", f.ch, f.column);
        break;
    case HexFault::Length:
        std::snprintf(p, room, "the count calls for %d digits after ':', the line holds %d (a cut line?)",
                      f.wantDigits, f.haveDigits);
        break;
    case HexFault::TooLong: std::snprintf(p, room, "longer than any record"); break;
    case HexFault::NotRecord: std::snprintf(p, room, "text that is no record (a record begins with ':')"); break;
    case HexFault::NoEnd: std::snprintf(p, room, "the file ends before its end-of-file record"); break;
    }
    return msg;
}

std::string HexFindingsSummary(const std::string& path, const HexLoadResult& r) {
    if (r.badRecords == 0) return {};
    std::string s = path + ": " + HexFindingText(r.findings[0]);
    if (r.badRecords > 1) {
        const int more = r.badRecords - 1;
        s += "; " + std::to_string(more) + (more == 1 ? " more bad record" : " more bad records");
        if (!r.otherThanChecksum) s += " (checksums only)";
    }
    return s;
}

std::string HexLoadMessage(const std::string& path, const HexLoadResult& r) {
    char msg[768];
    const char* p = path.c_str();
    switch (r.status) {
    case HexLoadStatus::Ok: return {};
    case HexLoadStatus::BadRecords: return HexFindingsSummary(path, r) + ". Nothing was sent.";
    case HexLoadStatus::FileError:
        std::snprintf(msg, sizeof msg, "Cannot read %s: %s. Nothing was sent.", p, std::strerror(r.sysError));
        break;
    case HexLoadStatus::OutsideImage:
        std::snprintf(msg, sizeof msg,
                      "%s: the record on line %d reaches address 0x%X, beyond the image (0x0000..0x9FFF). "
                      "Nothing was sent.",
                      p, r.line, r.address);
        break;
    case HexLoadStatus::Truncated:
        std::snprintf(msg, sizeof msg,
                      "%s is truncated: it ends on line %d before its end-of-file record. Nothing was sent.", p,
                      r.line);
        break;
    case HexLoadStatus::ExtendedAddress:
        std::snprintf(msg, sizeof msg,
                      "%s: the extended-address record on line %d sets a non-zero base; the image covers "
                      "0x0000..0x9FFF only. Nothing was sent.",
                      p, r.line);
        break;
    case HexLoadStatus::NotRegularFile:
        std::snprintf(msg, sizeof msg, "%s is %s, not a HEX file. Nothing was sent.", p, r.fileKind);
        break;
    case HexLoadStatus::TooLarge:
        std::snprintf(msg, sizeof msg,
                      "%s is larger than %zu MiB, too large for a HEX file of a 40960-byte image. "
                      "Nothing was sent.",
                      p, kMaxHexFileBytes / (1024u * 1024u));
        break;
    }
    return msg;
}
