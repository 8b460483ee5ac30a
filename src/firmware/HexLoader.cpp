#include "firmware/HexLoader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    explicit FileSource(int fd) : m_fd(fd) {}
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
            const ssize_t n = ::read(m_fd, m_buf, sizeof m_buf);
            if (n < 0 && errno == EINTR) continue;
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

    int m_fd;
    std::uint8_t m_buf[4096];
    std::size_t m_pos = 0, m_len = 0, m_total = 0;
    int m_err = 0;
    bool m_over = false, m_eof = false;
};

template <class Source>
class Reader {
public:
    explicit Reader(Source& s) : m_s(s) {}
    bool Next(std::uint8_t& c) {
        if (!m_s.Get(c)) return false;
        if (c == '\n') ++m_line;
        return true;
    }
    // Two characters as one byte, high nibble first, kept to 8 bits.
    bool Byte(std::uint8_t& b) {
        std::uint8_t h, l;
        if (!Next(h) || !Next(l)) return false;
        b = static_cast<std::uint8_t>(HexDigitValue(h) * 16 + HexDigitValue(l));
        return true;
    }
    // Four characters a, b, c, d as ((a*16 + b)*16 + c)*16 + d kept to 16 bits;
    // a value above 15 (a character that is no hex digit) carries upwards.
    bool Word(unsigned& w) {
        w = 0;
        for (int i = 0; i < 4; ++i) {
            std::uint8_t ch;
            if (!Next(ch)) return false;
            w = (w * 16u + HexDigitValue(ch)) & 0xFFFFu;
        }
        return true;
    }
    int Line() const { return m_line; }

private:
    Source& m_s;
    int m_line = 1;
};

template <class Source>
HexLoadResult Parse(Source& src, std::span<std::uint8_t> image) {
    Reader<Source> r(src);
    for (;;) {
        std::uint8_t c = 0;
        do {
            if (!r.Next(c)) return {HexLoadStatus::Truncated, r.Line(), 0, 0, ""};
        } while (c != ':');
        const int line = r.Line();
        std::uint8_t count, type;
        unsigned address;
        if (!r.Byte(count) || !r.Word(address) || !r.Byte(type))
            return {HexLoadStatus::Truncated, line, 0, 0, ""};
        if (type == kTypeEnd) return {};
        const bool bBase = type == kTypeSegment || type == kTypeLinear;
        const bool bStart = type == kTypeStartSeg || type == kTypeStartLinear;
        bool bNonZeroBase = false;
        for (unsigned i = 0; i < count; ++i) {
            std::uint8_t b;
            if (!r.Byte(b)) return {HexLoadStatus::Truncated, line, address, 0, ""};
            if (bBase) {
                bNonZeroBase = bNonZeroBase || b != 0;
            } else if (!bStart) {
                const unsigned a = address + i;  // not wrapped at 16 bits
                if (a >= image.size()) return {HexLoadStatus::OutsideImage, line, a, 0, ""};
                image[a] = b;
            }
        }
        if (bNonZeroBase) return {HexLoadStatus::ExtendedAddress, line, address, 0, ""};
        std::uint8_t sum;
        if (!r.Byte(sum)) return {HexLoadStatus::Truncated, line, address, 0, ""};
        if (count == 0) return {};
    }
}

const char* FileKind(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

}  // namespace

HexLoadResult LoadHex(std::span<const std::uint8_t> text, std::span<std::uint8_t> image) {
    SpanSource src(text);
    return Parse(src, image);
}

HexLoadResult LoadHexFile(const std::string& path, std::span<std::uint8_t> image) {
    // Non-blocking, so that opening a FIFO without a writer does not wait.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return {HexLoadStatus::FileError, 0, 0, errno, ""};
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        return {HexLoadStatus::FileError, 0, 0, err, ""};
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return {HexLoadStatus::NotRegularFile, 0, 0, 0, FileKind(st.st_mode)};
    }
    if (static_cast<std::uintmax_t>(st.st_size) > kMaxHexFileBytes) {
        ::close(fd);
        return {HexLoadStatus::TooLarge, 0, 0, 0, ""};
    }
    FileSource src(fd);
    HexLoadResult r = Parse(src, image);
    ::close(fd);
    if (src.Error()) return {HexLoadStatus::FileError, 0, 0, src.Error(), ""};
    if (src.OverBound()) return {HexLoadStatus::TooLarge, 0, 0, 0, ""};
    return r;
}

std::string HexLoadMessage(const std::string& path, const HexLoadResult& r) {
    char msg[768];
    const char* p = path.c_str();
    switch (r.status) {
    case HexLoadStatus::Ok: return {};
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
