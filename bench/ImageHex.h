// A random 40960-byte firmware image as an Intel HEX file, for the benchmarks
// that download one.
#pragma once

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

// Writes the image in 16-byte data records to the temporary folder under
// name; returns the path, or "" when the file cannot be written.
inline std::string WriteImageHex(const char* name) {
    constexpr int kBytes = 0xA000;
    const std::string path = (std::filesystem::temp_directory_path() / name).string();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return {};
    std::mt19937 rng(42);
    for (int addr = 0; addr < kBytes; addr += 16) {
        unsigned sum = 16 + static_cast<unsigned>(addr >> 8) + static_cast<unsigned>(addr & 0xFF);
        std::fprintf(f, ":10%04X00", static_cast<unsigned>(addr));
        for (int i = 0; i < 16; ++i) {
            const unsigned b = rng() & 0xFF;
            sum += b;
            std::fprintf(f, "%02X", b);
        }
        std::fprintf(f, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    }
    std::fputs(":00000001FF\n", f);
    return std::fclose(f) == 0 ? path : std::string();
}
