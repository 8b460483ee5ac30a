// The few calls the unit tests need that the platforms spell differently:
// a new folder of a unique name, a FIFO, and the environment.  The suites
// that need a pseudo-terminal, fork or /dev are left out on Windows by CMake.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#if defined(_WIN32)
#include <stdlib.h>
#else
#include <sys/stat.h>
#endif

namespace testplat {

// Makes a new folder "<stem>XXXXXX" (six random characters) in the
// temporary folder and returns its path, "" when none could be made.
inline std::string MakeTempDir(const std::string& stem) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device rd;
    std::mt19937 gen(rd());
    std::error_code ec;
    const std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = stem;
        for (int i = 0; i < 6; ++i) name += kChars[gen() % (sizeof kChars - 1)];
        const std::filesystem::path p = tmp / name;
        if (std::filesystem::create_directory(p, ec)) return p.generic_string();
    }
    return {};
}

#if defined(_WIN32)
inline constexpr bool kDeviceTree = false;  // no /sys, /dev or /proc
inline bool MakeFifo(const std::string&) { return false; }  // no FIFOs in a Windows folder
inline void SetEnv(const char* name, const char* value) { _putenv_s(name, value); }
inline void UnsetEnv(const char* name) { _putenv_s(name, ""); }
#else
inline constexpr bool kDeviceTree = true;
inline bool MakeFifo(const std::string& path) { return ::mkfifo(path.c_str(), 0600) == 0; }
inline void SetEnv(const char* name, const char* value) { ::setenv(name, value, 1); }
inline void UnsetEnv(const char* name) { ::unsetenv(name); }
#endif

}  // namespace testplat
