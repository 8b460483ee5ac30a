// ZANTU-100 module simulator: the I/O runner.
//
// Puts a ModuleCore on a terminal device: a new pseudo-terminal pair (the
// console opens the slave path) or a given serial device (raw 9600 8N1).  One
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

    bool StartThread();
    void Run(std::stop_token st);
    void Wake();
    void Schedule(std::vector<Burst> bursts, Clock::time_point earliest);
    bool WriteDue(Clock::time_point now);
    void CloseLine();
    Clock::duration Ms(double ms) const;

    SimOptions m_opt;
    ModuleCore m_core;
    std::mutex m_mutex;
    int m_fd = -1;      // pty master or the device
    int m_wakeFd = -1;  // eventfd
    std::string m_path;
    std::string m_error;
    std::atomic<bool> m_hungUp{false};
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
