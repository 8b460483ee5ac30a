// The simulator's I/O runner: line set-up, the reading and writing thread and
// the pacing schedule.
#include "Simulator.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace zsim {
namespace {

constexpr int kNoPeerRetryMs = 20;   // look again for a host this often while none is there
constexpr int kBlockedRetryMs = 2;   // the line's output buffer was full
constexpr int kSplitGapMs = 1;       // between the pieces of a chunked output, unpaced
constexpr int kHangUpGraceMs = 100;  // from the last byte of the last answer to the hang-up

std::string ErrnoText(const char* what) {
    const int e = errno;
    return std::string(what) + ": " + std::strerror(e);
}

bool MakeRaw(int fd, std::string* error) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        *error = ErrnoText("tcgetattr");
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD | CS8;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        *error = ErrnoText("tcsetattr");
        return false;
    }
    return true;
}

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
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        m_error = ErrnoText("openpty");
        return {};
    }
    char name[256] = {};
    if (ttyname_r(slave, name, sizeof name) != 0 && ptsname_r(master, name, sizeof name) != 0) {
        m_error = ErrnoText("ptsname");
        close(slave);
        close(master);
        return {};
    }
    const bool raw = MakeRaw(slave, &m_error);
    // The slave is not kept open: the console opens it exclusively.
    close(slave);
    if (!raw) {
        close(master);
        return {};
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    m_fd = master;
    m_path = name;
    if (!StartThread()) return {};
    return m_path;
}

bool Simulator::StartOnDevice(const std::string& path) {
    if (Running()) {
        m_error = "already running";
        return false;
    }
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        m_error = ErrnoText(path.c_str());
        return false;
    }
    if (!MakeRaw(fd, &m_error)) {
        close(fd);
        return false;
    }
    tcflush(fd, TCIOFLUSH);
    m_fd = fd;
    m_path = path;
    return StartThread();
}

bool Simulator::StartThread() {
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wakeFd < 0) {
        m_error = ErrnoText("eventfd");
        CloseLine();
        return false;
    }
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
    if (m_wakeFd >= 0) {
        close(m_wakeFd);
        m_wakeFd = -1;
    }
}

void Simulator::CloseLine() {
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

void Simulator::Wake() {
    if (m_wakeFd < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t r = write(m_wakeFd, &one, sizeof one);
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
    const ssize_t w = write(m_fd, out.data(), out.size());
    if (w < 0 && (errno == EAGAIN || errno == EINTR)) return false;
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
        if (m_fd >= 0 && !m_queue.empty()) blocked = !WriteDue(now);
        if (m_fd >= 0 && m_queue.empty()) {
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
        if (m_fd < 0) {
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
        const bool watchLine = m_fd >= 0 && now >= noPeerUntil;
        if (m_fd >= 0 && !watchLine) until(noPeerUntil);
        if (m_fd >= 0 && hangUpAt != Clock::time_point{}) until(hangUpAt);

        pollfd fds[2] = {{m_wakeFd, POLLIN, 0}, {m_fd, POLLIN, 0}};
        const int r = poll(fds, watchLine ? 2 : 1, static_cast<int>(std::min<long long>(timeout, 60000)));
        if (r < 0 && errno != EINTR) break;
        if (r <= 0) continue;
        if (fds[0].revents & POLLIN) {
            std::uint64_t v = 0;
            [[maybe_unused]] const ssize_t n = read(m_wakeFd, &v, sizeof v);
        }
        now = Clock::now();
        Clock::time_point earliest = now;
        std::size_t fed = 0;
        if (watchLine && fds[1].revents) {
            const ssize_t n = (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) ? read(m_fd, buf.data(), buf.size()) : 0;
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
            } else if (!(n < 0 && (errno == EAGAIN || errno == EINTR))) {
                // Nobody has the slave open (EIO / hang-up on a pty master): look again later.
                noPeerUntil = now + std::chrono::milliseconds(kNoPeerRetryMs);
            }
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
    const std::vector<std::uint8_t> image = Flash();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(image.data(), 1, image.size(), f) == image.size();
    return std::fclose(f) == 0 && ok;
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
