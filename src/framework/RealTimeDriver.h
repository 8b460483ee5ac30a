// Drives a headless host in real time: its virtual clock follows a monotonic
// clock, so the timers fire as under a real event loop, and cross-thread
// requests (the serial reader's hand-overs) run as soon as they arrive.  The
// command-line tool and the benchmarks run the console core this way.
//
// The virtual clock is anchored at construction: virtual time = the host's
// time then + the real milliseconds since.  Between steps the driver sleeps
// until the next timer is due, a cross-thread request wakes it, or a slice
// ends, whichever comes first; it never spins.  A timer armed between two
// steps (by a cross-thread hand-over) counts from the real moment it is armed:
// the driver is the host's arming clock.
#pragma once

#include "framework/HeadlessHost.h"

#include <chrono>
#include <functional>

namespace fw {

class RealTimeDriver {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kDefaultSlice = std::chrono::milliseconds(100);

    explicit RealTimeDriver(HeadlessHost& host);
    ~RealTimeDriver();
    RealTimeDriver(const RealTimeDriver&) = delete;
    RealTimeDriver& operator=(const RealTimeDriver&) = delete;

    // Brings the virtual clock up to real time: fires every timer that came
    // due, in order, and runs posted messages and waiting cross-thread requests.
    void CatchUp();

    // Runs until pred() holds or limit of real time has passed; returns pred().
    // pred is also looked at after every slice, so a condition that changes
    // without any message to the host (a flag set by a signal handler) is seen
    // within one slice.
    bool RunUntil(const std::function<bool()>& pred, Clock::duration limit,
                  Clock::duration slice = kDefaultSlice);

    // Virtual time the clock is kept at for real time t.
    std::uint64_t VirtualAt(Clock::time_point t) const;
    // The same rounded up: no whole millisecond of t is still to come.
    std::uint64_t VirtualNotBefore(Clock::time_point t) const;

private:
    HeadlessHost& m_host;
    Clock::time_point m_start;
    std::uint64_t m_virtStart;
};

}  // namespace fw
