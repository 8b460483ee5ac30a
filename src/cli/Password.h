// The service password for zantu-cli's log command: read from the first line
// of a file (or standard input), or asked on the terminal without echo.  It
// is never taken from the command line, where other users could see it.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace cli {

enum class PasswordStatus {
    Ok,
    NoFile,       // the file could not be read (reason in words)
    NoTerminal,   // nothing to ask on: no controlling terminal
    Interrupted,  // Ctrl+C at the prompt
};

// At most this many bytes of the line are read; the prompt takes 20 characters.
inline constexpr std::size_t kMaxPasswordLine = 256;

// The first line of path ("-": standard input), without its line break.  A
// read interrupted while `stop` is non-zero gives Interrupted.
PasswordStatus ReadPasswordFile(const std::string& path, std::string& password, std::string& why,
                                const std::atomic<int>& stop);

// Asks on the controlling terminal ("Enter Password: "), echo off, and puts
// the terminal back as it was in every case.  A read interrupted while
// `stop` is non-zero gives Interrupted.
PasswordStatus AskPassword(std::string& password, std::string& why, const std::atomic<int>& stop);

}  // namespace cli
