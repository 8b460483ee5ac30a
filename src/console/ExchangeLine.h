// The exchange as a line of text, always current: what the console waits for
// and how long it still waits (the 1 s ACK wait and the 120/130 s answer
// wait), the resend under way, a batch's run and the time to its next send,
// a download's block and the time it still takes.  Built from the console's
// events alone, and a clock the front-end gives (its virtual clock in tests).
#pragma once

#include "console/ConsoleEvents.h"

#include <cstdint>
#include <functional>
#include <string>

class ExchangeLine final : public ev::ConsoleObserver {
public:
    using Clock = std::function<std::uint64_t()>;  // milliseconds, never going back
    explicit ExchangeLine(Clock now) : m_now(std::move(now)) {}

    // The exchange now: "" when nothing is under way.
    std::string Line() const;
    // Why the last thing on the link failed, in plain words ("" when nothing
    // failed since the last OPEN that succeeded).
    const std::string& Reason() const { return m_reason; }
    // Whether the line counts down (a front-end renews it while this holds).
    bool Counting() const { return m_ackDue || m_answerDue || m_nextDue || m_blocks > 0; }
    // Called after every event that changed Line() or Reason().
    void SetOnChange(std::function<void()> f) { m_onChange = std::move(f); }

    void Written(const std::uint8_t* p, std::size_t n, const ev::TxNote& note) override;
    void Received(ev::RxKind kind) override;
    void Link(ev::LinkEvent e, int nPort, std::string_view detail) override;
    void Answered(const ev::Answer& answer) override;
    void Noticed(const ev::Notice& notice) override;
    void Idle(bool idle) override;
    void Waiting(ev::WaitKind what, unsigned ms) override;

private:
    void Changed() const {
        if (m_onChange) m_onChange();
    }
    void Clear();
    std::uint64_t Left(std::uint64_t due) const;

    Clock m_now;
    std::function<void()> m_onChange;
    int m_type = 0;             // command type of the frame last written
    std::uint64_t m_ackDue = 0, m_answerDue = 0, m_nextDue = 0;  // 0: not awaited
    int m_resend = 0;           // resend k of 3 under way, 0: the first send
    int m_run = 0, m_runs = 0;  // a batch's run k of n, 0 0: no batch known
    int m_block = 0, m_blocks = 0;        // a download's block k of n written
    int m_firstBlock = 0;                 // the block counted from
    std::uint64_t m_firstBlockAt = 0;     // when it was written
    std::size_t m_blockBytes = 0;         // bytes of the last block frame written
    std::string m_reason;
};
