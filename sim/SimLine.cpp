// The in-process line's back end: the module's end of a memline.
#include "SimLine.h"

#include "link/MemoryLine.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace zsim {

namespace {

class MemoryLine final : public SimLine {
public:
    explicit MemoryLine(std::shared_ptr<memline::End> end) : m_end(std::move(end)) {}
    ~MemoryLine() override { m_end->Close(); }

    long WaitRead(std::uint8_t* p, std::size_t max, int timeoutMs, bool watch) override {
        const std::chrono::milliseconds wait(timeoutMs < 0 ? 60000 : timeoutMs);
        if (watch && !m_closed) {
            const long n = m_end->Read(p, max, wait);
            std::lock_guard lock(m_mx);
            m_woken = false;
            return n == memline::End::kHungUp ? kNoPeer : n;
        }
        std::unique_lock lock(m_mx);
        m_cv.wait_for(lock, wait, [&] { return m_woken; });
        m_woken = false;
        return 0;
    }

    long Write(const std::uint8_t* p, std::size_t n) override {
        if (m_closed) return -1;
        const std::size_t w = m_end->Write(p, n);
        if (w == 0 && m_end->FarClosed()) return -1;  // nobody there: lost, as on a wire
        return static_cast<long>(w);
    }

    void Wake() override {
        {
            std::lock_guard lock(m_mx);
            m_woken = true;
        }
        m_cv.notify_all();
        m_end->Cancel();
    }

    void Close() override {
        m_closed = true;
        m_end->Close();
    }

private:
    std::shared_ptr<memline::End> m_end;
    std::mutex m_mx;
    std::condition_variable m_cv;
    bool m_woken = false;
    bool m_closed = false;  // the runner's thread only
};

}  // namespace

std::unique_ptr<SimLine> OpenMemoryLine(std::shared_ptr<memline::End> end) {
    return std::make_unique<MemoryLine>(std::move(end));
}

}  // namespace zsim
