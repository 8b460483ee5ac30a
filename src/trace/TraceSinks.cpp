#include "trace/TraceSinks.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>

namespace trace {

// ---- LineStore ------------------------------------------------------------------

LineStore::LineStore(std::size_t capacity, std::size_t textBytes)
    : m_capacity(capacity > 0 ? capacity : 1),
      m_textBytes(std::clamp<std::size_t>(textBytes, 1, std::numeric_limits<std::uint32_t>::max())),
      // Not value-initialised: the pages are taken from the system only as lines fill them.
      m_text(new char[m_textBytes]) {}

void LineStore::Put(const Line& line) {
    const std::size_t size = std::min(line.text.size(), m_textBytes);
    // A line lies whole in the ring: one that would run past its end starts
    // at its beginning instead.
    std::uint64_t at = m_textEnd;
    const std::size_t offset = static_cast<std::size_t>(at % m_textBytes);
    if (offset + size > m_textBytes) at += m_textBytes - offset;
    const std::uint64_t end = at + size;
    // The oldest lines go when their bytes are to be written over, or when
    // the index is full.
    while (m_begin < m_end && (m_index[static_cast<std::size_t>(m_begin % m_capacity)].at + m_textBytes < end ||
                               m_end - m_begin >= m_capacity))
        ++m_begin;
    std::memcpy(m_text.get() + (at % m_textBytes), line.text.data(), size);
    const std::size_t i = static_cast<std::size_t>(m_end % m_capacity);
    if (i == m_index.size()) m_index.emplace_back();
    m_index[i] = Entry{at, line.wallMs, static_cast<std::uint32_t>(size), line.flags};
    m_textEnd = end;
    ++m_end;
}

void LineStore::Clear() { m_begin = m_end; }

const LineStore::Entry* LineStore::Find(std::uint64_t n) const {
    if (n < m_begin || n >= m_end) return nullptr;
    return &m_index[static_cast<std::size_t>(n % m_capacity)];
}

std::string_view LineStore::Text(std::uint64_t n) const {
    const Entry* e = Find(n);
    return e ? std::string_view(m_text.get() + e->at % m_textBytes, e->size) : std::string_view();
}

std::uint8_t LineStore::Flags(std::uint64_t n) const {
    const Entry* e = Find(n);
    return e ? e->flags : 0;
}

std::int64_t LineStore::WallMs(std::uint64_t n) const {
    const Entry* e = Find(n);
    return e ? e->wallMs : 0;
}

// ---- FileSink -------------------------------------------------------------------

std::unique_ptr<FileSink> FileSink::Open(const std::string& path, std::string* error, std::string_view header) {
    auto fail = [&](int e) {
        if (error) *error = "cannot open trace file '" + path + "': " + std::strerror(e);
        return nullptr;
    };
    if (path.empty()) return fail(ENOENT);
    // Not waiting on open either: a pipe nobody reads fails at once.
    files::File file = files::File::Open(path, files::kAppend | files::kCreate | files::kNoWait);
    if (!file) return fail(errno);
    std::unique_ptr<FileSink> sink(new FileSink(std::move(file), path));

    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm{};
    ::localtime_r(&now, &tm);
    char head[64];
    const std::size_t n = std::strftime(head, sizeof head, "# wire trace started %Y-%m-%d %H:%M:%S\n", &tm);
    if (header.empty() ? !sink->WriteAll(head, n) : !sink->WriteAll(header.data(), header.size())) {
        if (error) *error = "cannot write trace file '" + path + "': " + std::strerror(errno);
        return nullptr;
    }
    return sink;
}

FileSink::FileSink(files::File file, std::string path) : m_file(std::move(file)), m_path(std::move(path)) {
    m_buf.reserve(1024);
}

FileSink::~FileSink() = default;

bool FileSink::WriteAll(const char* p, std::size_t n) { return m_file.WriteAll(p, n); }

void FileSink::AppendWallClock(std::int64_t wallMs) {
    using namespace std::chrono;
    const long long ms =
        wallMs > 0 ? wallMs : duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
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
    AppendWallClock(line.wallMs);
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
