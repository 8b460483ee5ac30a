// An in-process serial line: two ends, what one end writes the other reads.
// The simulated module a front-end runs inside itself sits on one end and the
// channel on the other, so --simulate needs no pseudo-terminal and no virtual
// COM driver.  The line itself is instant; the simulator keeps the line's
// timing (each byte's 10 bits at 9600 baud) on its side, as it does on a
// pseudo-terminal.
//
// Each direction holds at most kCapacity bytes; a write takes what fits.  An
// end that is closed (or destroyed) is a hang-up for the other: its reads
// then return what is left and after that kHungUp.  Every call is
// thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace memline {

class Line;

class End {
public:
    static constexpr std::size_t kCapacity = 64 * 1024;
    static constexpr long kHungUp = -1;

    End(std::shared_ptr<Line> line, int side) : m_line(std::move(line)), m_side(side) {}
    ~End();
    End(const End&) = delete;
    End& operator=(const End&) = delete;

    // Bytes taken: as many as fit (0 when full); 0 as well once either end
    // has closed.
    std::size_t Write(const std::uint8_t* p, std::size_t n);
    // Waits at most `wait` for bytes and reads up to max of them.  Returns the
    // count read, 0 on time-out or Cancel, kHungUp when the far end closed and
    // nothing is left to read.
    long Read(std::uint8_t* p, std::size_t max, std::chrono::milliseconds wait);
    // Bytes readable now, and bytes written here that the far end has not read.
    std::size_t Readable() const;
    std::size_t Unread() const;
    // Drops what this end has written and the far end has not read yet;
    // returns the count.
    std::size_t DropUnread();
    // Ends the Read that waits now (or the next one) with 0.
    void Cancel();
    // A hang-up for the far end; reads here end at once.  Idempotent.
    void Close();
    bool FarClosed() const;

private:
    std::shared_ptr<Line> m_line;
    int m_side;
};

// A new line: first the end the channel opens, second the module's end.
std::pair<std::shared_ptr<End>, std::shared_ptr<End>> MakeLine();

// Port names of in-process lines ("inproc:NAME"), which the channel opens as
// it opens a device path.
inline constexpr std::string_view kNamePrefix = "inproc:";
bool IsName(std::string_view path);
// Offers `end` under a new name and returns it ("inproc:zantu-sim-N").  A
// name stands until Withdraw.  The channel takes the end at its Open and
// gives it back at its Close (it does not Close the end: a port closed and
// opened again reaches the same module, as a cable does).
std::string Publish(std::shared_ptr<End> end, std::string_view stem = "zantu-sim");
enum class TakeResult { Taken, NoSuchLine, InUse, HungUp };
// The end published under name, for one user at a time.
TakeResult Take(std::string_view name, std::shared_ptr<End>& out);
void GiveBack(std::string_view name);
void Withdraw(std::string_view name);

}  // namespace memline
