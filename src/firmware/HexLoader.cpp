#include "firmware/HexLoader.h"

#include <cerrno>
#include <cstdio>
#include <vector>

std::uint8_t HexDigitValue(std::uint8_t ch) {
    std::uint8_t v = static_cast<std::uint8_t>(ch - 0x30);
    if (v > 9) v = static_cast<std::uint8_t>(v - 7);
    if (v > 15) v = static_cast<std::uint8_t>(v - 0x20);
    return v;
}

namespace {

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> t) : m_t(t) {}
    bool Next(std::uint8_t& c) {
        if (m_pos >= m_t.size()) return false;
        c = m_t[m_pos++];
        if (c == '\n') ++m_line;
        return true;
    }
    // Two characters as one byte, high nibble first.
    bool Byte(std::uint8_t& b) {
        std::uint8_t h, l;
        if (!Next(h) || !Next(l)) return false;
        b = static_cast<std::uint8_t>(HexDigitValue(h) * 16 + HexDigitValue(l));
        return true;
    }
    int Line() const { return m_line; }

private:
    std::span<const std::uint8_t> m_t;
    std::size_t m_pos = 0;
    int m_line = 1;
};

}  // namespace

HexLoadResult LoadHex(std::span<const std::uint8_t> text, std::span<std::uint8_t> image) {
    Reader r(text);
    HexLoadResult res;
    for (;;) {
        std::uint8_t c = 0;
        do {
            if (!r.Next(c)) return {HexLoadStatus::Truncated, r.Line(), 0, 0};
        } while (c != ':');
        const int line = r.Line();
        std::uint8_t count, hi, lo, type;
        if (!r.Byte(count) || !r.Byte(hi) || !r.Byte(lo) || !r.Byte(type))
            return {HexLoadStatus::Truncated, line, 0, 0};
        const unsigned address = static_cast<unsigned>(hi) * 256u + lo;
        if (type == 0x01) return res;
        for (unsigned i = 0; i < count; ++i) {
            std::uint8_t b;
            if (!r.Byte(b)) return {HexLoadStatus::Truncated, line, address, 0};
            const unsigned a = address + i;  // not wrapped at 16 bits
            if (a >= image.size()) return {HexLoadStatus::OutsideImage, line, a, 0};
            image[a] = b;
        }
        std::uint8_t sum;
        if (!r.Byte(sum)) return {HexLoadStatus::Truncated, line, address, 0};
        if (count == 0) return res;
    }
}

HexLoadResult LoadHexFile(const std::string& path, std::span<std::uint8_t> image) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return {HexLoadStatus::FileError, 0, 0, errno};
    std::vector<std::uint8_t> text;
    std::uint8_t buf[4096];
    for (;;) {
        const std::size_t n = std::fread(buf, 1, sizeof buf, f);
        text.insert(text.end(), buf, buf + n);
        if (n < sizeof buf) break;
    }
    const bool failed = std::ferror(f) != 0;
    const int err = errno;
    std::fclose(f);
    if (failed) return {HexLoadStatus::FileError, 0, 0, err ? err : EIO};
    return LoadHex(text, image);
}
