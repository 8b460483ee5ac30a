// The simulator's line on Windows: a COM port (real or virtual), raw 9600
// 8N1, overlapped.  The reader waits in one 1-byte overlapped read beside an
// event for wakes and then drains what the port holds; a wait that ends
// without the byte leaves the read under way for the next one.  Closing
// cancels it with CancelIoEx (a pending comm read's time-out cannot be
// relied upon to end it).
#include "SimLine.h"

#include <windows.h>

#include <algorithm>

namespace zsim {

namespace {

std::string Utf8(const std::wstring& w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(std::max(n, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

std::wstring Wide(const std::string& s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(std::max(n, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string LastErrorText(const std::string& what) {
    const DWORD e = GetLastError();
    wchar_t* buf = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, e, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
    std::string text = n && buf ? Utf8(std::wstring(buf, n)) : "error " + std::to_string(e);
    if (buf) LocalFree(buf);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return what + ": " + text;
}

// "COM2" and "com12" are opened as \\.\COM2 and \\.\COM12 (the only form
// that reaches COM10 and above); any other name as it is.
std::string DeviceName(const std::string& path) {
    const bool com = path.size() > 3 && (path[0] == 'C' || path[0] == 'c') && (path[1] == 'O' || path[1] == 'o') &&
                     (path[2] == 'M' || path[2] == 'm') &&
                     std::all_of(path.begin() + 3, path.end(), [](char c) { return c >= '0' && c <= '9'; });
    return com ? "\\\\.\\COM" + path.substr(3) : path;
}

class ComLine final : public SimLine {
public:
    ComLine(HANDLE port, HANDLE wake, HANDLE readEvent, HANDLE writeEvent)
        : m_port(port), m_wake(wake), m_writeEvent(writeEvent) {
        m_read.hEvent = readEvent;
    }
    ~ComLine() override {
        Close();
        CloseHandle(m_wake);
        CloseHandle(m_read.hEvent);
        CloseHandle(m_writeEvent);
    }

    long WaitRead(std::uint8_t* p, std::size_t max, int timeoutMs, bool watch) override {
        const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
        if (!watch || m_port == INVALID_HANDLE_VALUE || max == 0) {
            WaitForSingleObject(m_wake, wait);
            return 0;
        }
        if (!m_pending) {
            ResetEvent(m_read.hEvent);
            if (!ReadFile(m_port, &m_byte, 1, nullptr, &m_read) && GetLastError() != ERROR_IO_PENDING)
                return kNoPeer;  // the device is gone
            m_pending = true;
        }
        const HANDLE handles[2] = {m_read.hEvent, m_wake};
        const DWORD r = WaitForMultipleObjects(2, handles, FALSE, wait);
        if (r != WAIT_OBJECT_0) return 0;  // woken or the time is up: the read stays under way
        DWORD got = 0;
        m_pending = false;
        if (!GetOverlappedResult(m_port, &m_read, &got, FALSE)) return kNoPeer;
        if (got == 0) return 0;  // the port's own time-out
        p[0] = m_byte;
        // Then what the port holds already, without waiting.
        DWORD errors = 0;
        COMSTAT stat{};
        long n = 1;
        if (ClearCommError(m_port, &errors, &stat) && stat.cbInQue > 0 && max > 1) {
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(stat.cbInQue, max - 1));
            OVERLAPPED ov{};
            ov.hEvent = m_read.hEvent;
            ResetEvent(ov.hEvent);
            DWORD more = 0;
            if (ReadFile(m_port, p + 1, want, nullptr, &ov) || GetLastError() == ERROR_IO_PENDING) {
                if (GetOverlappedResult(m_port, &ov, &more, TRUE)) n += static_cast<long>(more);
            }
        }
        return n;
    }

    long Write(const std::uint8_t* p, std::size_t n) override {
        if (m_port == INVALID_HANDLE_VALUE) return -1;
        OVERLAPPED ov{};
        ov.hEvent = m_writeEvent;
        ResetEvent(ov.hEvent);
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(n, 0x10000));
        DWORD wrote = 0;
        if (!WriteFile(m_port, p, want, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) return -1;
        // Bounded by the port's write time-outs; what did not go stays queued.
        if (!GetOverlappedResult(m_port, &ov, &wrote, TRUE)) return wrote > 0 ? static_cast<long>(wrote) : -1;
        return static_cast<long>(wrote);
    }

    void Wake() override { SetEvent(m_wake); }

    void Close() override {
        if (m_port == INVALID_HANDLE_VALUE) return;
        if (m_pending) {
            CancelIoEx(m_port, &m_read);
            DWORD got = 0;
            GetOverlappedResult(m_port, &m_read, &got, TRUE);
            m_pending = false;
        }
        CloseHandle(m_port);
        m_port = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE m_port;
    HANDLE m_wake;
    HANDLE m_writeEvent;
    OVERLAPPED m_read{};
    bool m_pending = false;
    std::uint8_t m_byte = 0;
};

}  // namespace

std::unique_ptr<SimLine> OpenPtyLine(std::string*, std::string* error) {
    *error = "Windows has no pseudo-terminals: give a COM port (--device COM2)";
    return nullptr;
}

std::unique_ptr<SimLine> OpenDeviceLine(const std::string& path, std::string* error) {
    const std::string device = DeviceName(path);
    const HANDLE port = CreateFileW(Wide(device).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        *error = LastErrorText(path);
        return nullptr;
    }
    auto fail = [&](const char* what) {
        *error = LastErrorText(path + ": " + what);
        CloseHandle(port);
        return nullptr;
    };
    SetupComm(port, 4096, 4096);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) return fail("GetCommState");
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(port, &dcb)) return fail("SetCommState");
    // A read returns at once with what is there, else waits for one byte
    // (up to 1 s); a write may take 2 ms a byte and 1 s more.
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = 1000;
    t.WriteTotalTimeoutMultiplier = 2;
    t.WriteTotalTimeoutConstant = 1000;
    if (!SetCommTimeouts(port, &t)) return fail("SetCommTimeouts");
    PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
    const HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const HANDLE readEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE writeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!wake || !readEvent || !writeEvent) {
        if (wake) CloseHandle(wake);
        if (readEvent) CloseHandle(readEvent);
        if (writeEvent) CloseHandle(writeEvent);
        return fail("CreateEvent");
    }
    return std::make_unique<ComLine>(port, wake, readEvent, writeEvent);
}

}  // namespace zsim
