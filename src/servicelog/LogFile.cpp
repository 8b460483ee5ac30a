#include "servicelog/LogFile.h"

#include <algorithm>
#include <cstdio>

namespace servicelog {

std::string BaseName(const std::tm& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d%02d%02d_%02d%02d%02d", (t.tm_year + 1900) % 100 % 100,
                  (t.tm_mon + 1) % 100, t.tm_mday % 100, t.tm_hour % 100, t.tm_min % 100,
                  t.tm_sec % 100);
    return buf;
}

std::string FormatFrame(const std::uint8_t* pFrame, std::size_t nLen) {
    static constexpr std::size_t kGroup = 8, kGroupsPerLine = 9;
    std::string out;
    if (pFrame && nLen >= 6) {
        const std::size_t nPayload = nLen - 6;
        const std::uint8_t* p = pFrame + 4;
        out.reserve(nPayload + nPayload / (kGroup * kGroupsPerLine) * 2 + 12);
        std::size_t nGroups = 0;
        for (std::size_t i = 0; i < nPayload; i += kGroup) {
            const std::size_t n = std::min(kGroup, nPayload - i);
            out.append(reinterpret_cast<const char*>(p + i), n);
            if (++nGroups == kGroupsPerLine) {
                out += "\r\n";
                nGroups = 0;
            }
        }
    }
    out += "\r\n---END\r\n";
    return out;
}

}  // namespace servicelog
