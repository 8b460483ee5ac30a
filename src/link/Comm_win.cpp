// The serial channel on a Windows COM port.
//
// The port is opened by its device name ("\\.\COMn", which also reaches
// COM10 and above) for this program alone (share mode 0) and overlapped.  The
// line is 9600 8N1 (or what Open asks), binary, with no flow control of any
// kind (no CTS, DSR or XON/XOFF), no parity checking and DTR and RTS off.
// Some drivers refuse the DTR/RTS escape functions (ERROR_NOT_SUPPORTED):
// the DCB has them off already, so that is not an error.
//
// The reader waits in one overlapped 1-byte read (read time-outs MAXDWORD,
// MAXDWORD, 1000: it ends when a byte comes, or after a second with none) and
// on an event that Write, RequestSync and Close set; then it takes the rest of
// what the driver holds (ClearCommError says how much), so an idle port costs
// nothing.  WaitCommEvent is not used: some drivers end every wait at once,
// which would spin.  Writes are overlapped, one at a time: what the driver has
// not taken waits in the channel's queue, which the reader sends on when the
// write in flight completes.  Close ends the waiting read with CancelIoEx
// after the reader has been joined, and waits for it before the handle is
// closed.  A read or wait that fails (the adapter pulled: 109, 995, 1167,
// 1617, ...) is the lost port, told once.
#include "link/Comm.h"
#include "link/CommLine.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <mutex>

namespace {

constexpr DWORD kReadWaitMs = 1000;
constexpr DWORD kDrainWaitMs = 200;  // a read of bytes already there ends at once
constexpr DWORD kDriverQueue = 4096;
constexpr std::array<unsigned, 12> kBaudRates{110, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200,
                                              230400};

int LastErrorCode() { return static_cast<int>(::GetLastError()); }

class WinLine final : public comm::Line {
public:
    HANDLE h = INVALID_HANDLE_VALUE;

    WinLine() {
        m_readEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_drainEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_writeEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_wakeEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);  // auto-reset: one Wake, one Wait
    }
    ~WinLine() override {
        Release();
        for (HANDLE e : {m_readEvent, m_drainEvent, m_writeEvent, m_wakeEvent})
            if (e) ::CloseHandle(e);
    }
    bool EventsMade() const { return m_readEvent && m_drainEvent && m_writeEvent && m_wakeEvent; }

    comm::Wakeup Wait(bool wantWrite) override {
        comm::Wakeup w;
        if (h == INVALID_HANDLE_VALUE) {
            w.error = ERROR_INVALID_HANDLE;
            return w;
        }
        if (!m_readPending && !m_haveByte) {
            if (const int e = StartRead()) {
                w.error = e;
                return w;
            }
        }
        if (m_haveByte) {
            w.readable = true;
            w.writable = wantWrite && !WriteInFlight();
            return w;
        }
        HANDLE waits[3] = {m_readEvent, m_wakeEvent, m_writeEvent};
        const DWORD n = WriteInFlight() ? 3 : 2;
        const DWORD r = ::WaitForMultipleObjects(n, waits, FALSE, INFINITE);
        if (r == WAIT_FAILED) {
            w.error = LastErrorCode();
            return w;
        }
        if (r == WAIT_OBJECT_0) {
            m_readPending = false;
            DWORD got = 0;
            if (!::GetOverlappedResult(h, &m_readOv, &got, FALSE)) {
                // Only Release cancels this read, and never while the reader runs.
                w.error = LastErrorCode();
                return w;
            }
            m_haveByte = got == 1;  // 0: the read's time-out; waited again next time
            w.readable = m_haveByte;
        }
        w.writable = wantWrite && !WriteInFlight();
        return w;
    }

    void Wake() override { ::SetEvent(m_wakeEvent); }

    std::uint32_t ReadNow(std::uint8_t* p, std::uint32_t max) override {
        if (h == INVALID_HANDLE_VALUE || max == 0) return 0;
        if (m_readPending) {
            // A byte that came is the waiting read's: it goes first, and no
            // other read may pass it.
            DWORD got = 0;
            if (!::GetOverlappedResult(h, &m_readOv, &got, FALSE)) {
                if (::GetLastError() == ERROR_IO_INCOMPLETE) return 0;
                m_readPending = false;  // the next Wait finds out what became of the port
                return 0;
            }
            m_readPending = false;
            m_haveByte = got == 1;
        }
        std::uint32_t n = 0;
        if (m_haveByte) {
            p[n++] = m_byte;
            m_haveByte = false;
        }
        DWORD errors = 0;
        COMSTAT st{};
        if (n < max && ::ClearCommError(h, &errors, &st) && st.cbInQue > 0) {
            const DWORD want = std::min<DWORD>(st.cbInQue, max - n);
            OVERLAPPED ov{};
            ov.hEvent = m_drainEvent;
            ::ResetEvent(m_drainEvent);
            DWORD got = 0;
            bool ok = ::ReadFile(h, p + n, want, &got, &ov) != 0;
            if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
                if (::WaitForSingleObject(m_drainEvent, kDrainWaitMs) != WAIT_OBJECT_0) ::CancelIoEx(h, &ov);
                ok = ::GetOverlappedResult(h, &ov, &got, TRUE) != 0;
            }
            if (ok) n += got;
        }
        return n;
    }

    long WriteNow(const std::uint8_t* p, std::size_t n, int& err) override {
        std::lock_guard lk(m_writeMx);
        PollWriteLocked();
        if (m_writing) return 0;
        if (m_writeError) {
            err = m_writeError;
            m_writeError = 0;
            return -1;
        }
        const DWORD len = static_cast<DWORD>(std::min(n, m_writeBuf.size()));
        std::copy_n(p, len, m_writeBuf.begin());
        m_writeOv = OVERLAPPED{};
        m_writeOv.hEvent = m_writeEvent;
        ::ResetEvent(m_writeEvent);
        DWORD put = 0;
        if (::WriteFile(h, m_writeBuf.data(), len, &put, &m_writeOv)) return static_cast<long>(len);
        const DWORD e = ::GetLastError();
        if (e != ERROR_IO_PENDING) {
            err = static_cast<int>(e);
            return -1;
        }
        m_writing = true;
        m_writeLen = len;
        return static_cast<long>(len);
    }

    bool WaitWritable(std::chrono::milliseconds wait) override {
        if (!WriteInFlight()) return h != INVALID_HANDLE_VALUE;
        ::WaitForSingleObject(m_writeEvent, static_cast<DWORD>(wait.count()));
        return true;
    }

    std::size_t OutputPending() override {
        std::lock_guard lk(m_writeMx);
        PollWriteLocked();
        return m_writing ? m_writeLen : 0;
    }

    void DropOutput() override {
        if (h == INVALID_HANDLE_VALUE) return;
        std::lock_guard lk(m_writeMx);
        if (m_writing) {
            ::CancelIoEx(h, &m_writeOv);
            DWORD got = 0;
            ::GetOverlappedResult(h, &m_writeOv, &got, TRUE);
            m_writing = false;
        }
        ::PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR);
    }

    void EndSession() override {
        if (h == INVALID_HANDLE_VALUE) return;
        ::EscapeCommFunction(h, CLRDTR);  // may be unsupported: DTR is off by the DCB anyway
        ::PurgeComm(h, PURGE_RXCLEAR);
        m_haveByte = false;
    }

    int Configure(const CComm::LineSettings& s) override {
        if (h == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
        if (std::find(kBaudRates.begin(), kBaudRates.end(), s.nBaud) == kBaudRates.end() || s.nDataBits < 5 ||
            s.nDataBits > 8 || s.nStopBits == ONE5STOPBITS || s.nStopBits > TWOSTOPBITS || s.nParity > SPACEPARITY)
            return ERROR_INVALID_PARAMETER;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(h, &dcb)) return LastErrorCode();
        // Every field that matters is set here; nothing an earlier program left stays.
        dcb.BaudRate = s.nBaud;
        dcb.ByteSize = s.nDataBits;
        dcb.Parity = s.nParity;      // the codes are Windows' own
        dcb.StopBits = s.nStopBits;
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;         // a byte with a parity error is passed on as it came
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fTXContinueOnXoff = TRUE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fErrorChar = FALSE;
        dcb.fNull = FALSE;           // 0x00 bytes are data
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        dcb.fAbortOnError = FALSE;
        if (!::SetCommState(h, &dcb)) return LastErrorCode();
        ::EscapeCommFunction(h, CLRDTR);
        ::EscapeCommFunction(h, CLRRTS);
        return 0;
    }

    int Release() override {
        if (h == INVALID_HANDLE_VALUE) return 0;
        // Ours only (the waiting read, a write in flight); each is waited
        // for, since the system writes into its OVERLAPPED until it ends.
        ::CancelIoEx(h, nullptr);
        DWORD got = 0;
        if (m_readPending) ::GetOverlappedResult(h, &m_readOv, &got, TRUE);
        m_readPending = false;
        {
            std::lock_guard lk(m_writeMx);
            if (m_writing) ::GetOverlappedResult(h, &m_writeOv, &got, TRUE);
            m_writing = false;
        }
        ::CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
        return 0;
    }

    std::intptr_t Native() const override { return reinterpret_cast<std::intptr_t>(h); }

private:
    // Starts the 1-byte read the reader waits in; 0, or the error that ends the port.
    int StartRead() {
        m_readOv = OVERLAPPED{};
        m_readOv.hEvent = m_readEvent;
        ::ResetEvent(m_readEvent);
        DWORD got = 0;
        if (::ReadFile(h, &m_byte, 1, &got, &m_readOv)) {
            m_haveByte = got == 1;
            if (!m_haveByte) ::SetEvent(m_readEvent);  // a time-out at once: wait again next time
            return 0;
        }
        const DWORD e = ::GetLastError();
        if (e != ERROR_IO_PENDING) return static_cast<int>(e);
        m_readPending = true;
        return 0;
    }
    bool WriteInFlight() {
        std::lock_guard lk(m_writeMx);
        PollWriteLocked();
        return m_writing;
    }
    void PollWriteLocked() {
        if (!m_writing || !HasOverlappedIoCompleted(&m_writeOv)) return;
        DWORD put = 0;
        if (!::GetOverlappedResult(h, &m_writeOv, &put, FALSE)) m_writeError = LastErrorCode();
        m_writing = false;
    }

    HANDLE m_readEvent = nullptr, m_drainEvent = nullptr, m_writeEvent = nullptr, m_wakeEvent = nullptr;
    OVERLAPPED m_readOv{};
    std::uint8_t m_byte = 0;
    bool m_readPending = false;  // the 1-byte read is under way
    bool m_haveByte = false;     // it ended with m_byte, not handed over yet

    std::mutex m_writeMx;  // the write in flight: the reader and the writing thread look at it
    OVERLAPPED m_writeOv{};
    std::array<std::uint8_t, CComm::kTxQueue> m_writeBuf{};
    DWORD m_writeLen = 0;
    bool m_writing = false;
    int m_writeError = 0;  // of a write that ended badly, told by the next one
};

}  // namespace

std::unique_ptr<comm::Line> CComm::OpenDevice(const std::string& path) {
    auto fail = [&](PortFault fault, int err) -> std::unique_ptr<comm::Line> {
        Fail(fault, err);
        return nullptr;
    };
    auto line = std::make_unique<WinLine>();
    if (!line->EventsMade()) return fail(PortFault::Other, LastErrorCode());
    line->h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
    if (line->h == INVALID_HANDLE_VALUE) {
        const int e = LastErrorCode();
        return fail(OpenFaultOf(e), e);
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(line->h, &dcb)) return fail(PortFault::NotTerminal, LastErrorCode());
    ::SetupComm(line->h, kDriverQueue, kDriverQueue);
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = kReadWaitMs;
    t.WriteTotalTimeoutMultiplier = 0;  // the channel's own write time-out applies
    t.WriteTotalTimeoutConstant = 0;
    if (!::SetCommTimeouts(line->h, &t)) return fail(PortFault::SettingsRefused, LastErrorCode());
    if (const int e = line->Configure(m_settings)) return fail(PortFault::SettingsRefused, e);
    ::PurgeComm(line->h, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
    return line;
}
