// How a run of a command ended: the result words that zantu-cli prints in its
// summary and the batch records write in their `result` column, each with the
// exit status zantu-cli gives for it.  The words are part of the tools'
// interface (README, the manual page): they are stated here once.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace res {

enum class Result : std::uint8_t {
    Ok,             // every answer came, none with a device error, and the line stayed quiet after
    DeviceError,    // the module reported a device error, or a download did not end
    LinkFailed,     // no ACK, no answer, the port went away
    PortFailed,     // the port could not be opened
    Uncertain,      // the counts of a dispense-type run cannot be vouched for
    UsageError,     // bad arguments; nothing was sent
    DataError,      // a HEX file was refused
    NoInput,        // a file could not be read
    CannotCreate,   // a log, trace or record file could not be created
    IoError,        // an output could not be written
    WrongPassword,  // the service password was wrong
    Interrupted,    // a signal ended the run
    TimedOut,       // --timeout passed
    Failed,         // anything else
    LimitFailed,    // a plan's unit ran without error but a value missed its limit
    Stopped,        // STOP or the first Ctrl+C ended it after the exchange under way
};

inline constexpr int kBySignal = -1;  // the exit status is 128 + the signal

struct ResultRow {  // result, word, exit status
    Result result;
    std::string_view word;
    int exit;
};

// The exit statuses above 63 are those of sysexits.h.
inline constexpr std::array<ResultRow, 16> kResults{{
    {Result::Ok, "ok", 0},
    {Result::DeviceError, "device_error", 1},
    {Result::LinkFailed, "link_failed", 2},
    {Result::PortFailed, "port_failed", 3},
    {Result::Uncertain, "uncertain", 4},
    {Result::UsageError, "usage_error", 64},
    {Result::DataError, "data_error", 65},
    {Result::NoInput, "no_input", 66},
    {Result::CannotCreate, "cannot_create", 73},
    {Result::IoError, "io_error", 74},
    {Result::WrongPassword, "wrong_password", 77},
    {Result::Interrupted, "interrupted", kBySignal},
    {Result::TimedOut, "timed_out", 2},
    {Result::Failed, "failed", 70},
    {Result::LimitFailed, "limit_failed", 5},
    {Result::Stopped, "stopped", kBySignal},
}};

static_assert([] {
    for (std::size_t i = 0; i < kResults.size(); ++i)
        if (static_cast<std::size_t>(kResults[i].result) != i) return false;
    return true;
}());

constexpr std::string_view Word(Result r) { return kResults[static_cast<std::size_t>(r)].word; }
constexpr int ExitOf(Result r) { return kResults[static_cast<std::size_t>(r)].exit; }

// The result an exit status stands for: the first row with that status
// (2 is link_failed; a timed-out run says so itself), 128 and above
// interrupted, an unknown status failed.
constexpr Result OfExit(int exit) {
    if (exit >= 128) return Result::Interrupted;
    for (const ResultRow& row : kResults)
        if (row.exit == exit) return row.result;
    return Result::Failed;
}

}  // namespace res
