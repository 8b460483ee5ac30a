// Reading wire trace lines back, for the tests: the time, the direction, the
// bytes and the meaning of each line, and the bytes of one direction joined.
#pragma once

#include "trace/TraceSinks.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

struct TraceLine {
    std::string wall;  // "HH:MM:SS.mmm" (file lines only)
    double ms = 0;
    std::string dir;   // "TX", "RX", "--"
    std::vector<std::uint8_t> bytes;
    std::string what;  // the meaning, after " | "
};

// "  12.345 TX 04 30 | what", with "HH:MM:SS.mmm " in front when withWall.
inline std::optional<TraceLine> ParseTraceLine(std::string_view s, bool withWall) {
    TraceLine t;
    const std::size_t bar = s.find(" | ");
    if (bar == std::string_view::npos) return std::nullopt;
    t.what = std::string(s.substr(bar + 3));
    std::istringstream in{std::string(s.substr(0, bar))};
    if (withWall && !(in >> t.wall)) return std::nullopt;
    if (withWall && (t.wall.size() != 12 || t.wall[2] != ':' || t.wall[5] != ':' || t.wall[8] != '.'))
        return std::nullopt;
    std::string ms;
    if (!(in >> ms >> t.dir)) return std::nullopt;
    char* end = nullptr;
    t.ms = std::strtod(ms.c_str(), &end);
    if (!end || *end != '\0' || ms.find('.') != ms.size() - 4) return std::nullopt;
    if (t.dir != "TX" && t.dir != "RX" && t.dir != "--") return std::nullopt;
    std::string hex;
    while (in >> hex) {
        if (hex.size() != 2) return std::nullopt;
        const long v = std::strtol(hex.c_str(), &end, 16);
        if (*end != '\0') return std::nullopt;
        t.bytes.push_back(static_cast<std::uint8_t>(v));
    }
    return t;
}

// The lines of a trace file after its header (its leading "# " lines: the
// first is "# wire trace started ..."); *head gets the first line and
// *header every header line.
inline std::vector<std::string> ReadTraceFile(const std::string& path, std::string* head = nullptr,
                                              std::vector<std::string>* header = nullptr) {
    std::ifstream f(path);
    std::vector<std::string> lines;
    std::string line;
    bool first = true, inHeader = true;
    while (std::getline(f, line)) {
        if (first && head) *head = line;
        inHeader = inHeader && line.rfind("# ", 0) == 0;
        if (inHeader) {
            if (header) header->push_back(line);
        } else {
            lines.push_back(line);
        }
        first = false;
    }
    return lines;
}

inline std::vector<TraceLine> StoreLines(const trace::LineStore& store) {
    std::vector<TraceLine> out;
    for (std::uint64_t n = store.Begin(); n < store.End(); ++n)
        if (auto t = ParseTraceLine(store.Text(n), false)) out.push_back(*t);
    return out;
}

// The bytes of every line of one direction, in order; lines that say
// nothing went out are left out.
inline std::vector<std::uint8_t> JoinBytes(const std::vector<TraceLine>& lines, std::string_view dir) {
    std::vector<std::uint8_t> all;
    for (const TraceLine& t : lines)
        if (t.dir == dir && t.what.find("not sent") == std::string::npos)
            all.insert(all.end(), t.bytes.begin(), t.bytes.end());
    return all;
}
