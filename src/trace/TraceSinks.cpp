#include "trace/TraceSinks.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace trace {

// ---- LineStore ------------------------------------------------------------------

LineStore::LineStore(std::size_t capacity) : m_capacity(capacity > 0 ? capacity : 1) {}

void LineStore::Put(const Line& line) {
    const std::size_t i = static_cast<std::size_t>(m_end % m_capacity);
    if (i == m_slots.size()) m_slots.emplace_back();
    Slot& s = m_slots[i];
    s.flags = line.flags;
    s.text.assign(line.text);
    ++m_end;
    if (m_end - m_begin > m_capacity) m_begin = m_end - m_capacity;
}

void LineStore::Clear() { m_begin = m_end; }

const LineStore::Slot* LineStore::Find(std::uint64_t n) const {
    if (n < m_begin || n >= m_end) return nullptr;
    return &m_slots[static_cast<std::size_t>(n % m_capacity)];
}

std::string_view LineStore::Text(std::uint64_t n) const {
    const Slot* s = Find(n);
    return s ? std::string_view(s->text) : std::string_view();
}

std::uint8_t LineStore::Flags(std::uint64_t n) const {
    const Slot* s = Find(n);
    return s ? s->flags : 0;
}

// ---- FileSink -------------------------------------------------------------------

std::unique_ptr<FileSink> FileSink::Open(const std::string& path, std::string* error) {
    auto fail = [&](int e) {
        if (error) *error = "cannot open trace file '" + path + "': " + std::strerror(e);
        return nullptr;
    };
    if (path.empty()) return fail(ENOENT);
    // Not waiting on open either: a pipe nobody reads fails at once.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) return fail(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        return fail(e);
    }
    if (S_ISREG(st.st_mode)) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::unique_ptr<FileSink> sink(new FileSink(fd, path));

    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm{};
    ::localtime_r(&now, &tm);
    char head[64];
    const std::size_t n = std::strftime(head, sizeof head, "# wire trace started %Y-%m-%d %H:%M:%S\n", &tm);
    if (!sink->WriteAll(head, n)) {
        if (error) *error = "cannot write trace file '" + path + "': " + std::strerror(errno);
        return nullptr;
    }
    return sink;
}

FileSink::FileSink(int fd, std::string path) : m_fd(fd), m_path(std::move(path)) { m_buf.reserve(1024); }

FileSink::~FileSink() {
    if (m_fd >= 0) ::close(m_fd);
}

bool FileSink::WriteAll(const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(m_fd, p, n);
        if (w > 0) {
            p += w;
            n -= static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w == 0) errno = EIO;
        return false;
    }
    return true;
}

void FileSink::AppendWallClock() {
    using namespace std::chrono;
    const auto now = system_clock::now().time_since_epoch();
    const long long ms = duration_cast<milliseconds>(now).count();
    const long long sec = ms / 1000;
    if (sec != m_cachedSec) {
        const std::time_t t = static_cast<std::time_t>(sec);
        std::tm tm{};
        ::localtime_r(&t, &tm);
        std::strftime(m_hms, sizeof m_hms, "%H:%M:%S", &tm);
        m_cachedSec = sec;
    }
    char frac[8];
    std::snprintf(frac, sizeof frac, ".%03d ", static_cast<int>(ms % 1000));
    m_buf += m_hms;
    m_buf += frac;
}

void FileSink::Put(const Line& line) {
    m_buf.clear();
    AppendWallClock();
    m_buf += line.text;
    m_buf += '\n';
    if (WriteAll(m_buf.data(), m_buf.size())) return;
    const int e = errno;
    ++m_lost;
    if (m_reported) return;
    m_reported = true;
    if (m_report)
        m_report("writing trace file '" + m_path + "' failed: " + std::strerror(e) +
                 "; lines it could not take are missing from it");
}

}  // namespace trace
