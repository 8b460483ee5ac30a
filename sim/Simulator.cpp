// The simulator's I/O runner: line set-up, the reading and writing thread and
// the pacing schedule.
#include "Simulator.h"

#include "files/FileIo.h"

#include "link/MemoryLine.h"

#include <algorithm>
#include <cstdio>

namespace zsim {
namespace {

constexpr int kNoPeerRetryMs = 20;   // look again for a host this often while none is there
constexpr int kBlockedRetryMs = 2;   // the line's output buffer was full
constexpr int kSplitGapMs = 1;       // between the pieces of a chunked output, unpaced
constexpr int kHangUpGraceMs = 100;  // from the last byte of the last answer to the hang-up

}  // namespace

Simulator::Simulator(const SimOptions& options) : m_opt(options), m_core(options.module) {}

Simulator::~Simulator() { Stop(); }

Simulator::Clock::duration Simulator::Ms(double ms) const {
    const double scaled = std::max(0.0, ms * m_opt.timeScale);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(scaled));
}

std::string Simulator::StartOnPty() {
    if (Running()) {
        m_error = "already running";
        return {};
    }
    std::string path;
    std::unique_ptr<SimLine> line = OpenPtyLine(&path, &m_error);
    if (!line) return {};
    m_path = path;
    if (!StartThread(std::move(line))) return {};
    return m_path;
}

bool Simulator::StartOnDevice(const std::string& path) {
    if (Running()) {
        m_error = "already running";
        return false;
    }
    std::unique_ptr<SimLine> line = OpenDeviceLine(path, &m_error);
    if (!line) return false;
    m_path = path;
    return StartThread(std::move(line));
}

std::string Simulator::StartInProcess() {
    if (Running()) {
        m_error = "already running";
        return {};
    }
    auto [channel, module] = memline::MakeLine();
    m_published = memline::Publish(std::move(channel));
    m_path = m_published;
    if (!StartThread(OpenMemoryLine(std::move(module)))) return {};
    return m_path;
}

bool Simulator::StartThread(std::unique_ptr<SimLine> line) {
    {
        std::lock_guard<std::mutex> lock(m_lineMx);
        m_line = std::move(line);
    }
    m_lineOpen = true;
    m_hungUp = false;
    m_queue.clear();
    m_queued = 0;
    m_txFree = m_rxFree = Clock::now();
    m_thread = std::jthread([this](std::stop_token st) { Run(st); });
    return true;
}

void Simulator::Stop() {
    if (m_thread.joinable()) {
        m_thread.request_stop();
        Wake();
        m_thread.join();
    }
    CloseLine();
    // Nobody opens the in-process line any more; a channel that has it open
    // sees the hang-up.
    if (!m_published.empty()) {
        memline::Withdraw(m_published);
        m_published.clear();
    }
    std::lock_guard<std::mutex> lock(m_lineMx);
    m_line.reset();
}

void Simulator::CloseLine() {
    if (m_lineOpen && m_line) m_line->Close();
    m_lineOpen = false;
}

void Simulator::Wake() {
    std::lock_guard<std::mutex> lock(m_lineMx);
    if (m_line) m_line->Wake();
}

void Simulator::Schedule(std::vector<Burst> bursts, Clock::time_point earliest) {
    Clock::time_point t = std::max({earliest, Clock::now(), m_txFree});
    for (Burst& b : bursts) {
        if (m_opt.pace) {
            // Module time first, then each byte at its place on the line.
            t = std::max(t, m_txFree) + Ms(b.delayMs);
            for (std::size_t i = 0; i < b.bytes.size(); ++i)
                m_queue.push_back({t + Ms(kByteMs * static_cast<double>(i)), {b.bytes[i]}});
            t += Ms(kByteMs * static_cast<double>(b.bytes.size()));
        } else {
            if (b.split) t += std::chrono::milliseconds(kSplitGapMs);
            m_queue.push_back({t, std::move(b.bytes)});
        }
        m_txFree = t;
    }
}

bool Simulator::WriteDue(Clock::time_point now) {
    std::vector<std::uint8_t> out;
    std::size_t items = 0;
    for (const Pending& p : m_queue) {
        if (p.due > now) break;
        out.insert(out.end(), p.bytes.begin(), p.bytes.end());
        ++items;
    }
    if (items == 0) return true;
    const long w = m_line->Write(out.data(), out.size());
    if (w > 0 && m_opt.recordLine) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Record(m_lineOut, out.data(), static_cast<std::size_t>(w));
    }
    m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(items));
    if (w > 0) m_bytesOut += static_cast<std::uint64_t>(w);
    if (w >= 0 && static_cast<std::size_t>(w) < out.size()) {
        // Keep what did not fit at the head of the queue.
        m_queue.push_front({now, std::vector<std::uint8_t>(out.begin() + w, out.end())});
        m_queued = m_queue.size();
        return false;
    }
    m_queued = m_queue.size();
    return true;  // written, or no host on the line (the bytes are lost, as on a wire)
}

void Simulator::Run(std::stop_token st) {
    std::vector<std::uint8_t> buf(512);
    Clock::time_point noPeerUntil{};
    Clock::time_point hangUpAt{};
    while (!st.stop_requested()) {
        Clock::time_point now = Clock::now();
        bool blocked = false;
        if (m_lineOpen && !m_queue.empty()) blocked = !WriteDue(now);
        if (m_lineOpen && m_queue.empty()) {
            bool due = false;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                due = m_core.HangUpDue();
            }
            // Closing the master drops what the host has not read yet, so the
            // last answer is given a moment to be taken first.
            if (due && hangUpAt == Clock::time_point{}) hangUpAt = now + std::chrono::milliseconds(kHangUpGraceMs);
            if (due && now >= hangUpAt) {
                // Said before the line goes: a host that sees the hang-up
                // may ask at once.
                m_hungUp = true;
                CloseLine();
            }
        }
        if (!m_lineOpen) {
            m_queue.clear();
            m_queued = 0;
        }

        // How long to wait: the next byte due, a blocked line, or the next look for a host.
        long long timeout = -1;
        auto until = [&](Clock::time_point t) {
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(t - now).count();
            const long long v = std::max<long long>(0, ms);
            timeout = timeout < 0 ? v : std::min(timeout, v);
        };
        if (!m_queue.empty()) until(blocked ? now + std::chrono::milliseconds(kBlockedRetryMs) : m_queue.front().due);
        const bool watchLine = m_lineOpen && now >= noPeerUntil;
        if (m_lineOpen && !watchLine) until(noPeerUntil);
        if (m_lineOpen && hangUpAt != Clock::time_point{}) until(hangUpAt);

        const int waitMs = static_cast<int>(timeout < 0 ? 60000 : std::min<long long>(timeout, 60000));
        const long n = m_line->WaitRead(buf.data(), buf.size(), waitMs, watchLine);
        now = Clock::now();
        Clock::time_point earliest = now;
        std::size_t fed = 0;
        if (n > 0) {
            const auto count = static_cast<std::size_t>(n);
            if (m_opt.pace) {
                // The bytes arrive at line speed; the module sees the last one then.
                m_rxFree = std::max(m_rxFree, now) + Ms(kByteMs * static_cast<double>(count));
                earliest = m_rxFree;
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_opt.recordLine) Record(m_lineIn, buf.data(), count);
            m_core.Feed(buf.data(), count);
            fed = count;
        } else if (n == SimLine::kNoPeer) {
            // Nobody on the far end: look again later.
            noPeerUntil = now + std::chrono::milliseconds(kNoPeerRetryMs);
        }
        std::vector<Burst> bursts;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            bursts = m_core.TakeOutput();
        }
        if (!bursts.empty()) Schedule(std::move(bursts), earliest);
        // Counted after their output is queued: a driver that sees every byte
        // it wrote counted here also sees the answers to them in m_queued.
        m_queued = m_queue.size();
        if (fed) m_bytesIn += fed;
    }
}

// ---- controls -----------------------------------------------------------------

void Simulator::SetFaults(const Faults& f) {
    WithCore([&](ModuleCore& c) { c.GetFaults() = f; });
}

Faults Simulator::GetFaults() {
    return WithCore([](ModuleCore& c) { return c.GetFaults(); });
}

bool Simulator::InjectError(std::uint8_t code, std::uint8_t errorByte, int count, int after) {
    return WithCore([&](ModuleCore& c) { return c.InjectError(code, errorByte, count, after); });
}

void Simulator::SendUnsolicited(std::uint8_t code) {
    WithCore([&](ModuleCore& c) { c.SendUnsolicited(code); });
}

std::vector<std::uint8_t> Simulator::Flash() {
    return WithCore([](ModuleCore& c) { return c.Flash(); });
}

bool Simulator::SaveFlash(const std::string& path) {
    return files::WriteWholeFile(path, Flash()).empty();
}

std::uint64_t Simulator::FramesReceived(std::uint8_t code) {
    return WithCore([&](ModuleCore& c) { return c.GetStats().framesByCode[code]; });
}

std::vector<std::vector<std::uint8_t>> Simulator::ReceivedFrames() {
    return WithCore([](ModuleCore& c) { return c.ReceivedFrames(); });
}

Stats Simulator::GetStats() {
    return WithCore([](ModuleCore& c) { return c.GetStats(); });
}

FaultCounts Simulator::GetFaultCounts() {
    return WithCore([](ModuleCore& c) { return c.GetFaultCounts(); });
}

std::string Simulator::FaultReport() {
    const FaultCounts f = GetFaultCounts();
    std::string out = "fault                    injected  codes met\n";
    char line[96];
    for (std::size_t k = 0; k < kFaultKinds; ++k) {
        std::snprintf(line, sizeof line, "%-22s %10llu %10d\n", kFaultNames[k],
                      static_cast<unsigned long long>(f.byKind[k]), f.CodesMet(static_cast<FaultKind>(k)));
        out += line;
    }
    std::snprintf(line, sizeof line, "%-22s %10llu\n", "total", static_cast<unsigned long long>(f.Total()));
    out += line;
    return out;
}

void Simulator::Record(std::vector<std::uint8_t>& to, const std::uint8_t* p, std::size_t n) {
    const std::size_t room = kLineRecordMax - std::min(kLineRecordMax, to.size());
    if (n > room) m_lineFull = true;
    to.insert(to.end(), p, p + std::min(n, room));
}

std::vector<std::uint8_t> Simulator::LineIn() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lineIn;
}

std::vector<std::uint8_t> Simulator::LineOut() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lineOut;
}

bool Simulator::LineRecordFull() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lineFull;
}

}  // namespace zsim
