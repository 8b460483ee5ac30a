// ZANTU-100 module simulator: the I/O runner.
//
// Puts a ModuleCore on a line: a new pseudo-terminal pair (the console opens
// the slave path), a given serial device (raw 9600 8N1; a COM port on
// Windows), or an in-process line that a front-end's channel opens by its
// "inproc:" name (SimLine.h has the back ends).  One
// thread reads what the host sends, feeds the core and writes its output.
// With pacing, every byte takes its 10 bits at 9600 baud and the module's own
// time passes before each answer; the schedule is kept against a monotonic
// clock, so time does not drift however late the thread wakes.
//
// The master side stays open from Start to Stop (or an injected hang-up); the
// slave is not held open, so the console can open it exclusively.  While
// nobody has the slave open the master reports a hang-up; the thread then
// looks again every 20 ms.
//
// All access to the core goes through one mutex: WithCore(f) runs f under it.
#pragma once

#include "ModuleCore.h"
#include "SimLine.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zsim {

struct SimOptions {
    ModuleConfig module;
    bool pace = false;       // line and module timing; off: everything at once
    double timeScale = 1.0;  // multiplies every paced time (0.1 = ten times faster)
    bool recordLine = false;  // keep every byte read from and written to the line (LineIn, LineOut)
};

class Simulator {
public:
    static constexpr double kByteMs = 10.0 * 1000.0 / 9600.0;  // 8N1: 10 bits a byte

    explicit Simulator(const SimOptions& options = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens a new pseudo-terminal pair and starts the thread.  Returns the
    // slave path ("/dev/pts/N"), or "" on failure (LastError says why).
    std::string StartOnPty();
    // Opens the device, sets raw 9600 8N1 and starts the thread.
    bool StartOnDevice(const std::string& path);
    // Makes an in-process line, publishes the channel's end of it and starts
    // the thread on the other, with the same pacing.  Returns the name the
    // channel opens ("inproc:zantu-sim-N"), withdrawn again at Stop.
    std::string StartInProcess();
    // Stops the thread and closes the line.  Safe to call at any time, twice.
    void Stop();

    bool Running() const { return m_thread.joinable(); }
    const std::string& Path() const { return m_path; }
    const std::string& LastError() const { return m_error; }
    // True once the injected hang-up closed the line.
    bool HungUp() const { return m_hungUp.load(); }

    // Runs f(ModuleCore&) under the core's lock and returns its result; wakes
    // the thread afterwards, so output the call produced goes out at once.
    template <class F>
    auto WithCore(F&& f) {
        struct Waker {
            Simulator* s;
            ~Waker() { s->Wake(); }
        } waker{this};
        std::lock_guard<std::mutex> lock(m_mutex);
        return f(m_core);
    }

    // Shorthands for the controls and the state most tests use.
    void SetFaults(const Faults& f);
    Faults GetFaults();
    bool InjectError(std::uint8_t code, std::uint8_t errorByte, int count = -1, int after = 0);
    void SendUnsolicited(std::uint8_t code);
    std::vector<std::uint8_t> Flash();
    bool SaveFlash(const std::string& path);
    std::uint64_t FramesReceived(std::uint8_t code);
    std::vector<std::vector<std::uint8_t>> ReceivedFrames();
    Stats GetStats();
    FaultCounts GetFaultCounts();
    // The fault table: one line per kind with its count and the number of
    // distinct frame codes it met, then the total.
    std::string FaultReport();

    // What has crossed the line so far, for a driver that must know when
    // nothing is in flight: bytes read from the line and fed to the module
    // (counted once the module's output for them is queued), bytes written to
    // the line, and output bursts still queued.
    struct LineCounts {
        std::uint64_t bytesIn = 0;
        std::uint64_t bytesOut = 0;
        std::size_t queued = 0;
    };
    LineCounts Counts() const { return {m_bytesIn.load(), m_bytesOut.load(), m_queued.load()}; }

    // With recordLine: the bytes read from the line and those written to it,
    // in order, the first kLineRecordMax of each (LineRecordFull says whether
    // more came).
    static constexpr std::size_t kLineRecordMax = 1 << 20;
    std::vector<std::uint8_t> LineIn();
    std::vector<std::uint8_t> LineOut();
    bool LineRecordFull();

private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        Clock::time_point due;
        std::vector<std::uint8_t> bytes;
    };

    bool StartThread(std::unique_ptr<SimLine> line);
    void Run(std::stop_token st);
    void Wake();
    void Schedule(std::vector<Burst> bursts, Clock::time_point earliest);
    bool WriteDue(Clock::time_point now);
    void CloseLine();
    Clock::duration Ms(double ms) const;

    SimOptions m_opt;
    ModuleCore m_core;
    std::mutex m_mutex;
    std::unique_ptr<SimLine> m_line;  // set while running; m_lineMx guards the pointer
    std::mutex m_lineMx;
    bool m_lineOpen = false;  // until the injected hang-up closes it (thread state)
    std::string m_published;  // the in-process line's name while offered
    std::string m_path;
    std::string m_error;
    std::atomic<bool> m_hungUp{false};
    std::atomic<std::uint64_t> m_bytesIn{0};
    std::atomic<std::uint64_t> m_bytesOut{0};
    std::atomic<std::size_t> m_queued{0};
    std::jthread m_thread;
    // The line record, under m_mutex.
    std::vector<std::uint8_t> m_lineIn, m_lineOut;
    bool m_lineFull = false;
    void Record(std::vector<std::uint8_t>& to, const std::uint8_t* p, std::size_t n);

    // Thread-only state.
    std::deque<Pending> m_queue;
    Clock::time_point m_txFree{};
    Clock::time_point m_rxFree{};
};

}  // namespace zsim
