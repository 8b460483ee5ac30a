#include "framework/RealTimeDriver.h"

#include <algorithm>

namespace fw {

using std::chrono::milliseconds;

RealTimeDriver::RealTimeDriver(HeadlessHost& host)
    : m_host(host), m_start(Clock::now()), m_virtStart(host.Now()) {
    // Rounded up, so that a timer never fires before its time has passed.
    m_host.SetArmClock([this] { return VirtualNotBefore(Clock::now()); });
}

RealTimeDriver::~RealTimeDriver() { m_host.SetArmClock({}); }

std::uint64_t RealTimeDriver::VirtualNotBefore(Clock::time_point t) const {
    if (t <= m_start) return m_virtStart;
    return m_virtStart +
           static_cast<std::uint64_t>(std::chrono::ceil<milliseconds>(t - m_start).count());
}

std::uint64_t RealTimeDriver::VirtualAt(Clock::time_point t) const {
    if (t <= m_start) return m_virtStart;
    return m_virtStart +
           static_cast<std::uint64_t>(std::chrono::duration_cast<milliseconds>(t - m_start).count());
}

void RealTimeDriver::CatchUp() {
    const std::uint64_t target = VirtualAt(Clock::now());
    if (target > m_host.Now())
        m_host.Advance(target - m_host.Now());
    else
        m_host.Pump();
}

bool RealTimeDriver::RunUntil(const std::function<bool()>& pred, Clock::duration limit,
                              Clock::duration slice) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        CatchUp();
        if (pred()) return true;
        const auto now = Clock::now();
        if (now >= deadline) return false;
        auto wait = std::min<Clock::duration>(deadline - now, slice);
        if (const auto due = m_host.NextDue()) {
            // The real moment at which the virtual clock reaches the due time.
            const auto dueReal =
                m_start + milliseconds(static_cast<std::int64_t>(*due - std::min(*due, m_virtStart)));
            wait = std::min<Clock::duration>(wait, std::max<Clock::duration>(dueReal - now, {}));
        }
        // Whole milliseconds, rounded up, so a timer is never looked at early.
        const auto waitMs = std::chrono::ceil<milliseconds>(wait);
        if (m_host.PumpUntil(pred, waitMs)) return true;
    }
}

}  // namespace fw
