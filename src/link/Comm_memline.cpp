// The channel on an in-process line (a mapped path "inproc:NAME"): the same
// reader, hand-over, queue, write time-out and lost port as on a device.  The
// end is taken at Open and given back at Close, never closed: a port closed
// and opened again reaches the same module, as a cable does.  The far end
// closing is the hang-up.
#include "link/Comm.h"
#include "link/CommLine.h"
#include "link/MemoryLine.h"

#include <algorithm>
#include <cerrno>
#include <thread>

namespace {

class MemoryLine final : public comm::Line {
public:
    MemoryLine(std::string name, std::shared_ptr<memline::End> end) : m_name(std::move(name)), m_end(std::move(end)) {}
    ~MemoryLine() override { Release(); }

    comm::Wakeup Wait(bool wantWrite) override {
        comm::Wakeup w;
        // The line says nothing when the far end makes room: while bytes
        // wait to go, it is looked at every few milliseconds.
        w.writable = wantWrite;
        if (m_pendLen > 0) {
            w.readable = true;
            return w;
        }
        const long r = m_end->Read(m_pend, sizeof m_pend, wantWrite ? kSendingWait : kIdleWait);
        if (r == memline::End::kHungUp) w.hungUp = true;
        if (r > 0) {
            m_pendLen = static_cast<std::size_t>(r);
            w.readable = true;
        }
        return w;
    }

    void Wake() override { m_end->Cancel(); }

    std::uint32_t ReadNow(std::uint8_t* p, std::uint32_t max) override {
        std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(m_pendLen, max));
        std::copy_n(m_pend, n, p);
        std::copy(m_pend + n, m_pend + m_pendLen, m_pend);
        m_pendLen -= n;
        // Read only what is there, so a Wake meant for the next Wait is kept.
        if (n < max && m_end->Readable() > 0) {
            const long r = m_end->Read(p + n, max - n, std::chrono::milliseconds(0));
            if (r > 0) n += static_cast<std::uint32_t>(r);
        }
        return n;
    }

    long WriteNow(const std::uint8_t* p, std::size_t n, int& err) override {
        if (m_released || m_end->FarClosed()) {
            err = EPIPE;
            return -1;
        }
        return static_cast<long>(m_end->Write(p, n));
    }

    bool WaitWritable(std::chrono::milliseconds wait) override {
        if (m_end->FarClosed()) return false;
        std::this_thread::sleep_for(wait);
        return true;
    }

    std::size_t OutputPending() override { return m_end->Unread(); }
    void DropOutput() override { m_end->DropUnread(); }

    void EndSession() override {
        m_pendLen = 0;
        std::uint8_t sink[256];
        while (m_end->Readable() > 0 && m_end->Read(sink, sizeof sink, std::chrono::milliseconds(0)) > 0) {
        }
    }

    int Configure(const CComm::LineSettings&) override { return 0; }  // the line has no settings

    int Release() override {
        if (!m_released) memline::GiveBack(m_name);
        m_released = true;
        return 0;
    }

    std::intptr_t Native() const override { return -1; }

private:
    static constexpr std::chrono::milliseconds kIdleWait{1000};
    static constexpr std::chrono::milliseconds kSendingWait{5};
    std::string m_name;
    std::shared_ptr<memline::End> m_end;
    std::uint8_t m_pend[CComm::kChunk] = {};  // read by a Wait, not yet handed over
    std::size_t m_pendLen = 0;
    bool m_released = false;
};

}  // namespace

std::unique_ptr<comm::Line> CComm::OpenMemoryLine(const std::string& path) {
    std::shared_ptr<memline::End> end;
    switch (memline::Take(path, end)) {
    case memline::TakeResult::Taken: break;
    case memline::TakeResult::InUse: Fail(PortFault::InUse, EBUSY); return nullptr;
    // A line whose module has ended is as good as a device unplugged.
    case memline::TakeResult::HungUp:
    case memline::TakeResult::NoSuchLine: Fail(PortFault::NoDevice, ENOENT); return nullptr;
    }
    return std::make_unique<MemoryLine>(path, std::move(end));
}
