// HEX loader fuzz target: arbitrary file contents into a 40960-byte image held
// between two guard areas; nothing may be written outside the image, and the
// loader must agree with a second, plain reader (below) on whether the text is
// taken and on every byte of the image it yields, checking checksums and not.
#include "firmware/HexLoader.h"

#include <array>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// The same rules, written as plainly as possible: lines end at CR or LF, a
// line of blanks is skipped, any other line is ':' and hexadecimal digits with
// blanks around, 2 * (count + 5) of them, summing to zero; 01 or a count of 0
// ends the text, 02/04 must carry a zero base, 03/05 carry nothing, the rest is
// data inside the image.  False: refused.
bool ReferenceLoad(std::string_view text, std::span<std::uint8_t> image, bool checkSums) {
    auto hex = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.size() > 600) return false;
        const std::size_t a = line.find_first_not_of(" \t");
        if (a == std::string_view::npos) continue;
        line = line.substr(a, line.find_last_not_of(" \t") + 1 - a);
        if (line[0] != ':' || line.size() < 11 || line.size() % 2 == 0) return false;
        std::string b;
        for (std::size_t i = 1; i < line.size(); i += 2) {
            if (!IsHexDigit(static_cast<std::uint8_t>(line[i])) || !IsHexDigit(static_cast<std::uint8_t>(line[i + 1])))
                return false;
            b += static_cast<char>(hex(line[i]) * 16 + hex(line[i + 1]));
        }
        const auto u = [&](std::size_t i) { return static_cast<unsigned>(static_cast<std::uint8_t>(b[i])); };
        if (b.size() != u(0) + 5) return false;
        unsigned sum = 0;
        for (std::size_t i = 0; i < b.size(); ++i) sum += u(i);
        if (checkSums && sum % 256 != 0) return false;
        const unsigned count = u(0), address = u(1) * 256 + u(2), type = u(3);
        if (type == 1) return true;
        for (unsigned i = 0; i < count; ++i) {
            if ((type == 2 || type == 4) && u(4 + i) != 0) return false;
            if (type == 2 || type == 3 || type == 4 || type == 5) continue;
            if (address + i >= image.size()) return false;
            image[address + i] = static_cast<std::uint8_t>(u(4 + i));
        }
        if (count == 0) return true;
    }
    return false;  // no record ended the text
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::array<std::uint8_t, 64 + 0xA000 + 64> buf;
    static std::array<std::uint8_t, 0xA000> ref;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const bool ignore : {false, true}) {
        buf.fill(0xA5);
        std::span<std::uint8_t> image(buf.data() + 64, 0xA000);
        std::fill(image.begin(), image.end(), 0xFF);
        const HexLoadResult r = LoadHex(std::span<const std::uint8_t>(data, size), image, {.ignoreChecksums = ignore});
        for (std::size_t i = 0; i < 64; ++i)
            if (buf[i] != 0xA5 || buf[buf.size() - 1 - i] != 0xA5) std::abort();
        ref.fill(0xFF);
        const bool taken = ReferenceLoad(text, ref, !ignore);
        if (taken != (r.status == HexLoadStatus::Ok)) std::abort();
        if (taken && !std::equal(ref.begin(), ref.end(), image.begin())) std::abort();
        if (r.status == HexLoadStatus::Ok && !ignore && r.badRecords != 0) std::abort();
    }
    return 0;
}
