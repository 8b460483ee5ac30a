// The serial channel's shared part: opening and closing around the line of
// the platform (or an in-process line), the reader loop and its hand-over,
// the sync point, and the user-space transmit queue.
//
// One reader thread per opening waits on the line.  It drains what is queued
// in chunks of at most 80 bytes and hands each to the notify window
// synchronously.  Write never waits: what the line does not take at once
// waits in a bounded user-space queue that the reader sends out, in order,
// when the line takes output again (Write wakes the reader).  Nothing leaves
// late: a write that could not leave within the write time-out (1000 ms) is
// dropped, and when the link gives up on a frame (DropUnsent) the queue and
// the driver's output buffer are emptied, so a frame the console no longer
// waits for never reaches the module.  Close lets written bytes leave first
// (within the write time-out) and discards only unread input.  A wait that
// fails is reported once, as a lost port.  A hang-up (the device went away)
// is reported once with a synchronous WM_COMM_LOST, and the reader ends.
// Close cancels a waiting hand-over, wakes the reader and joins it, so no
// reader outlives its opening or touches a destroyed channel.
#include "link/Comm.h"
#include "link/CommLine.h"
#include "link/MemoryLine.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace {

std::atomic<int> g_liveReaders{0};

}  // namespace

CComm::CComm() = default;

CComm::~CComm() {
    if (m_bOpen) Close();
    StopReader();
    m_releasedLine.reset();
    if (m_line) m_line->Release();
    m_line.reset();
}

int CComm::LiveReaders() { return g_liveReaders.load(); }

// Every line makes what its reader needs at its opening.
int CComm::InitOverlapped() { return 1; }

std::intptr_t CComm::Handle() const { return m_line ? m_line->Native() : -1; }

void CComm::LoadChunk(const std::uint8_t* p, std::size_t n) {
    if (!p) n = 0;
    if (n > kChunk) n = kChunk;
    for (std::size_t i = 0; i < n; ++i) m_RxBuf[i] = p[i];
    m_wRxLen = static_cast<std::uint16_t>(n);
}

int CComm::Open(std::uint16_t nPort, std::uint16_t nBaud, std::uint8_t nDataBits, std::uint8_t nStopBits,
                std::uint8_t nParity) {
    if (nPort > kMaxPort) {
        m_openError = PortOpenError{};
        m_openError.fault = PortFault::NoPortNumber;
        m_openError.nPort = nPort;
        return 0;
    }
    std::snprintf(m_szPort, sizeof m_szPort, "COM%d", static_cast<int>(nPort));
    // Opening an open channel first closes it: the earlier port is released
    // and its reader has ended before a new one starts.
    if (m_bOpen || m_line) Close();
    StopReader();
    m_nPort = nPort;
    m_settings = LineSettings{nBaud, nDataBits, nStopBits, nParity};
    m_strPath = m_portMap.PathFor(nPort);
    m_strReopen.clear();
    m_lastHolder = {};
    m_bNamedWhileLooking = false;
    return OpenPath(m_strPath);
}

int CComm::Reopen() {
    if (m_nPort == 0 || m_strPath.empty()) return 0;
    if (m_bOpen || m_line) Close();
    StopReader();
    const std::string path = m_strReopen.empty() ? m_strPath : m_strReopen;
    m_bLooking = true;
    const int ok = OpenPath(path);
    m_bLooking = false;
    return ok;
}

int CComm::Fail(PortFault fault, int err) {
    m_openError.fault = fault;
    m_openError.nError = err;
    m_nLastError = err ? err : EIO;
    if (fault == PortFault::NoPermission) DescribeDeviceAccess(m_openError);
    return 0;
}

int CComm::OpenPath(const std::string& path) {
    m_openError = PortOpenError{};
    m_openError.nPort = m_nPort;
    m_openError.path = path;
    if (path.empty()) return Fail(PortFault::NoPortNumber, ENOENT);
    std::unique_ptr<comm::Line> line = memline::IsName(path) ? OpenMemoryLine(path) : OpenDevice(path);
    if (!line) return 0;
    m_line = std::move(line);
    m_nLastError = 0;
    m_strOpened = path;
    if (m_strReopen.empty()) m_strReopen = path;
    {
        std::lock_guard lk(m_txMx);
        ClearQueueLocked();
        m_txDropped = 0;
        m_txStaleUnreported = 0;
    }
    m_nReaderError = 0;
    m_bSyncAsked = false;
    m_bOpen = 1;
    ++g_liveReaders;  // counted from its start; the reader itself counts its end
    comm::Line* reading = m_line.get();
    m_reader = std::jthread([this, reading](std::stop_token st) { CommReaderThread(st, reading); });
    return 1;
}

int CComm::Configure(std::uint16_t nBaud, std::uint8_t nDataBits, std::uint8_t nStopBits, std::uint8_t nParity) {
    if (!m_line) {
        m_nLastError = EBADF;
        return 0;
    }
    if (const int e = m_line->Configure(LineSettings{nBaud, nDataBits, nStopBits, nParity})) {
        m_nLastError = e;
        return 0;
    }
    return 1;
}

void CComm::Wake() {
    if (m_line) m_line->Wake();
}

void CComm::StopReader() {
    if (!m_reader.joinable()) return;
    m_reader.request_stop();
    if (comm::Line* l = m_line ? m_line.get() : m_releasedLine.get()) l->Wake();
    m_reader.join();
}

void CComm::LetWrittenBytesLeave(comm::Line& line) {
    // The reader has ended: the queue is sent from here.  Nothing waits
    // longer than the write time-out; what has not left by then is stale.
    const auto deadline = Clock::now() + kWriteTimeout;
    for (;;) {
        {
            std::lock_guard lk(m_txMx);
            ExpireLocked(Now());
            if (m_txCount == 0) break;
            if (SendQueuedLocked(line) != kWouldBlock) continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        if (!line.WaitWritable(std::chrono::milliseconds(std::min<long long>(left, 10)))) break;
    }
    while (Clock::now() < deadline && line.OutputPending() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::lock_guard lk(m_txMx);
    m_txDropped += m_txCount;
    ClearQueueLocked();
    if (line.OutputPending() > 0) line.DropOutput();
}

int CComm::Close() {
    const bool wasOpen = m_bOpen != 0;
    m_bOpen = 0;
    StopReader();
    m_releasedLine.reset();
    if (m_line) {
        if (wasOpen) LetWrittenBytesLeave(*m_line);
        m_line->EndSession();  // only what came in and was not read
        m_nReleaseError = m_line->Release();
        m_line.reset();
    }
    std::lock_guard lk(m_txMx);
    ClearQueueLocked();
    return 1;
}

void CComm::ReleaseLost() {
    m_bOpen = 0;  // the reader, once out of its hand-over, ends without touching the port
    m_bNamedWhileLooking = false;
    std::lock_guard lk(m_txMx);  // the reader sends only under this lock
    m_txDropped += m_txCount;
    ClearQueueLocked();
    if (!m_line) return;
    m_line->DropOutput();  // nothing of it leaves if the device comes back
    m_nReleaseError = m_line->Release();
    m_releasedLine = std::move(m_line);  // destroyed once its reader is joined
}

std::size_t CComm::DropUnsent() {
    std::lock_guard lk(m_txMx);
    std::size_t n = m_txCount + m_txStaleUnreported;
    m_txDropped += m_txCount;
    m_txStaleUnreported = 0;
    ClearQueueLocked();
    if (m_line && m_bOpen) {
        n += m_line->OutputPending();
        m_line->DropOutput();
    }
    return n;
}

std::size_t CComm::UnsentBytes() {
    std::lock_guard lk(m_txMx);
    std::size_t n = m_txCount;
    if (m_line && m_bOpen) n += m_line->OutputPending();
    return n;
}

void CComm::ClearQueueLocked() {
    m_txHead = m_txCount = 0;
    m_txWHead = m_txWCount = 0;
}

std::size_t CComm::ExpireLocked(Clock::time_point now) {
    std::size_t dropped = 0;
    while (m_txWCount > 0) {
        const QueuedWrite& w = m_txWrites[m_txWHead];
        if (now - w.at < kWriteTimeout) break;
        // Also the rest of a write whose start has left: completed late, a
        // frame would still be acted on.
        m_txHead = (m_txHead + w.nLen) % kTxQueue;
        m_txCount -= w.nLen;
        dropped += w.nLen;
        m_txWHead = (m_txWHead + 1) % kTxWrites;
        --m_txWCount;
    }
    if (m_txCount == 0) m_txHead = 0;
    m_txDropped += dropped;
    m_txStaleUnreported += dropped;
    return dropped;
}

void CComm::ConsumeLocked(std::size_t n) {
    m_txHead = (m_txHead + n) % kTxQueue;
    m_txCount -= n;
    while (n > 0 && m_txWCount > 0) {
        QueuedWrite& w = m_txWrites[m_txWHead];
        const std::size_t k = std::min(n, w.nLen);
        w.nLen -= k;
        n -= k;
        if (w.nLen == 0) {
            m_txWHead = (m_txWHead + 1) % kTxWrites;
            --m_txWCount;
        }
    }
    if (m_txCount == 0) m_txHead = 0;
}

int CComm::SendQueuedLocked(comm::Line& line) {
    while (m_txCount > 0) {
        const std::size_t run = std::min(m_txCount, kTxQueue - m_txHead);  // contiguous part
        int err = 0;
        const long r = line.WriteNow(m_txBuf.data() + m_txHead, run, err);
        if (r > 0) {
            ConsumeLocked(static_cast<std::size_t>(r));
            continue;
        }
        if (r == 0) return kWouldBlock;
        m_txDropped += m_txCount;  // the port failed
        ClearQueueLocked();
        return err ? err : EIO;
    }
    return 0;
}

std::size_t CComm::QueuedBytes() {
    std::lock_guard lk(m_txMx);
    return m_txCount;
}

std::uint64_t CComm::DroppedBytes() {
    std::lock_guard lk(m_txMx);
    return m_txDropped;
}

std::uint32_t CComm::Read(std::uint8_t* pBuf, std::uint32_t nMax) {
    if (!m_line || !pBuf || nMax == 0) return 0;
    return m_line->ReadNow(pBuf, nMax);
}

int CComm::Write(const std::uint8_t* pBuf, std::uint32_t nLen) {
    std::lock_guard lk(m_txMx);
    m_lastWrite = WriteReport{};
    auto drop = [&](const char* why, int err, std::size_t n) {
        m_lastWrite.outcome = WriteOutcome::Dropped;
        m_lastWrite.why = why;
        m_lastWrite.nError = err;
        m_txDropped += n;
        return 0;
    };
    if (!m_line || !m_bOpen) return drop("the port is not open", 0, nLen);
    if (!pBuf && nLen) return drop("no bytes given", 0, 0);
    ExpireLocked(Now());
    m_lastWrite.nStale = m_txStaleUnreported;  // dropped since the last write for their age
    m_txStaleUnreported = 0;
    std::uint32_t done = 0;
    // Straight to the line while nothing waits before these bytes.
    while (m_txCount == 0 && done < nLen) {
        int err = 0;
        const long r = m_line->WriteNow(pBuf + done, nLen - done, err);
        if (r > 0) {
            done += static_cast<std::uint32_t>(r);
            continue;
        }
        if (r == 0) break;
        // The port failed: the frame shows as a missing ACK, and here.
        return drop("the port refused the write", err ? err : EIO, nLen - done);
    }
    if (done == nLen) return 1;
    // The rest waits whole or not at all.
    const std::size_t rest = nLen - done;
    if (rest > kTxQueue - m_txCount || m_txWCount == kTxWrites)
        return drop("the port takes nothing and the queue is full", 0, rest);
    for (std::size_t i = 0; i < rest; ++i) m_txBuf[(m_txHead + m_txCount + i) % kTxQueue] = pBuf[done + i];
    m_txCount += rest;
    m_txWrites[(m_txWHead + m_txWCount) % kTxWrites] = QueuedWrite{rest, Now()};
    ++m_txWCount;
    m_lastWrite.outcome = WriteOutcome::Queued;
    Wake();
    return 0;
}

void CComm::DrainTx(comm::Line& line) {
    std::lock_guard lk(m_txMx);
    if (!m_bOpen) return;
    ExpireLocked(Now());  // nothing leaves late
    SendQueuedLocked(line);
}

bool CComm::HandOverQueued(comm::Line& line, std::stop_token st, bool& gotAny) {
    std::uint8_t buf[kChunk];
    for (;;) {
        const std::uint32_t n = line.ReadNow(buf, kChunk);
        if (n == 0) return true;
        gotAny = true;
        for (std::uint32_t i = 0; i < n; ++i) m_RxBuf[i] = buf[i];
        m_wRxLen = static_cast<std::uint16_t>(n);
        if (!m_hNotifyWnd || !m_hNotifyWnd->SendMessageFromThread(WM_COMM_DATA, 0, 0, st)) return false;
        if (!m_bOpen) return false;
    }
}

bool CComm::RequestSync() {
    if (!m_bOpen) return false;
    m_bSyncAsked = true;
    Wake();
    return true;
}

void CComm::CommReaderThread(std::stop_token st, comm::Line* line) {
    while (m_bOpen && !st.stop_requested()) {
        bool sending;
        {
            std::lock_guard lk(m_txMx);
            sending = m_txCount > 0;
        }
        const comm::Wakeup w = line->Wait(sending);
        if (st.stop_requested() || !m_bOpen) break;
        if (w.error) {
            // The reader cannot wait on the port any more: said once, as a
            // lost port (the console releases it and opens it again).
            m_nReaderError = w.error;
            if (m_hNotifyWnd) m_hNotifyWnd->SendMessageFromThread(WM_COMM_LOST, 0, 0, st);
            break;
        }
        if (w.writable) DrainTx(*line);
        bool gotAny = false;
        if (w.readable || w.hungUp) HandOverQueued(*line, st, gotAny);
        if (st.stop_requested() || !m_bOpen) break;
        if (m_bSyncAsked.exchange(false)) {
            // The sync point: what came before the request is handed over first.
            if (!HandOverQueued(*line, st, gotAny) || st.stop_requested() || !m_bOpen) break;
            if (m_hNotifyWnd) m_hNotifyWnd->SendMessageFromThread(WM_COMM_SYNC, 0, 0, st);
            if (st.stop_requested() || !m_bOpen) break;
        }
        if (w.hungUp) {
            // The device went away (an adapter pulled, the far end of a
            // pseudo-terminal or of an in-process line closed): say so once
            // and end.
            if (m_hNotifyWnd) m_hNotifyWnd->SendMessageFromThread(WM_COMM_LOST, 0, 0, st);
            break;
        }
    }
    --g_liveReaders;
}
