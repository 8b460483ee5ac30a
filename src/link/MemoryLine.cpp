#include "link/MemoryLine.h"

#include <algorithm>
#include <map>

namespace memline {

class Line {
public:
    mutable std::mutex mx;
    std::condition_variable cv;
    std::deque<std::uint8_t> toward[2];  // toward[s]: bytes side s reads
    bool closed[2] = {false, false};
    bool cancel[2] = {false, false};
};

End::~End() { Close(); }

std::size_t End::Write(const std::uint8_t* p, std::size_t n) {
    std::lock_guard lock(m_line->mx);
    if (m_line->closed[0] || m_line->closed[1]) return 0;
    auto& q = m_line->toward[1 - m_side];
    const std::size_t take = std::min(n, kCapacity - q.size());
    q.insert(q.end(), p, p + take);
    if (take > 0) m_line->cv.notify_all();
    return take;
}

long End::Read(std::uint8_t* p, std::size_t max, std::chrono::milliseconds wait) {
    std::unique_lock lock(m_line->mx);
    auto& q = m_line->toward[m_side];
    const auto ready = [&] {
        return !q.empty() || m_line->cancel[m_side] || m_line->closed[0] || m_line->closed[1];
    };
    m_line->cv.wait_for(lock, wait, ready);
    if (m_line->closed[m_side]) return 0;
    if (!q.empty() && max > 0) {
        const std::size_t n = std::min(max, q.size());
        std::copy_n(q.begin(), n, p);
        q.erase(q.begin(), q.begin() + static_cast<std::ptrdiff_t>(n));
        return static_cast<long>(n);
    }
    if (m_line->cancel[m_side]) {
        m_line->cancel[m_side] = false;
        return 0;
    }
    if (m_line->closed[1 - m_side]) return kHungUp;
    return 0;
}

std::size_t End::Readable() const {
    std::lock_guard lock(m_line->mx);
    return m_line->toward[m_side].size();
}

std::size_t End::Unread() const {
    std::lock_guard lock(m_line->mx);
    return m_line->toward[1 - m_side].size();
}

std::size_t End::DropUnread() {
    std::lock_guard lock(m_line->mx);
    auto& q = m_line->toward[1 - m_side];
    const std::size_t n = q.size();
    q.clear();
    return n;
}

void End::Cancel() {
    std::lock_guard lock(m_line->mx);
    m_line->cancel[m_side] = true;
    m_line->cv.notify_all();
}

void End::Close() {
    std::lock_guard lock(m_line->mx);
    m_line->closed[m_side] = true;
    m_line->cv.notify_all();
}

bool End::FarClosed() const {
    std::lock_guard lock(m_line->mx);
    return m_line->closed[1 - m_side];
}

std::pair<std::shared_ptr<End>, std::shared_ptr<End>> MakeLine() {
    auto line = std::make_shared<Line>();
    return {std::make_shared<End>(line, 0), std::make_shared<End>(line, 1)};
}

namespace {
struct Registry {
    std::mutex mx;
    struct Entry {
        std::shared_ptr<End> end;
        bool taken = false;
    };
    std::map<std::string, Entry, std::less<>> ends;
    unsigned next = 1;
};
Registry& Names() {
    static Registry r;
    return r;
}
}  // namespace

bool IsName(std::string_view path) { return path.substr(0, kNamePrefix.size()) == kNamePrefix; }

std::string Publish(std::shared_ptr<End> end, std::string_view stem) {
    auto& r = Names();
    std::lock_guard lock(r.mx);
    std::string name = std::string(kNamePrefix) + std::string(stem) + "-" + std::to_string(r.next++);
    r.ends.emplace(name, Registry::Entry{std::move(end), false});
    return name;
}

TakeResult Take(std::string_view name, std::shared_ptr<End>& out) {
    auto& r = Names();
    std::lock_guard lock(r.mx);
    const auto it = r.ends.find(name);
    if (it == r.ends.end()) return TakeResult::NoSuchLine;
    if (it->second.taken) return TakeResult::InUse;
    if (it->second.end->FarClosed()) return TakeResult::HungUp;
    it->second.taken = true;
    out = it->second.end;
    return TakeResult::Taken;
}

void GiveBack(std::string_view name) {
    auto& r = Names();
    std::lock_guard lock(r.mx);
    if (const auto it = r.ends.find(name); it != r.ends.end()) it->second.taken = false;
}

void Withdraw(std::string_view name) {
    auto& r = Names();
    std::lock_guard lock(r.mx);
    if (const auto it = r.ends.find(name); it != r.ends.end()) r.ends.erase(it);
}

}  // namespace memline
