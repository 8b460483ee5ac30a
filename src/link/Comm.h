// CComm: the console's one serial channel.  Opens a numbered port (COMn, mapped
// to a device path), sets 9600 8N1 raw, writes without waiting, and runs one
// reader thread that drains received bytes in chunks of at most 80 and hands
// each chunk to the notify window with a synchronous WM_COMM_DATA.  When the
// device goes away while open, the reader tells the window with a synchronous
// WM_COMM_LOST and ends.  On request it marks a sync point: every byte the
// port held when asked is handed over before a synchronous WM_COMM_SYNC.
//
// The queue, the reader loop and the hand-over are shared (Comm.cpp); the
// line behind them is a serial device of this platform (Comm_posix.cpp,
// Comm_win.cpp) or, for a mapped path "inproc:NAME", an in-process line
// (Comm_memline.cpp).
#pragma once

#include "framework/Host.h"
#include "link/PortError.h"
#include "link/PortMap.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace comm {
class Line;
}

// Window messages of the console (WM_USER = 0x400).
inline constexpr unsigned WM_USER_BASE = 0x400;
inline constexpr unsigned WM_COMM_DATA = WM_USER_BASE + 1;    // 0x401, sent by the reader
inline constexpr unsigned WM_FRAME_READY = WM_USER_BASE + 2;  // 0x402, sent by the receiver
inline constexpr unsigned WM_NEXT_BLOCK = WM_USER_BASE + 5;   // 0x405, posted by the download
inline constexpr unsigned WM_COMM_LOST = WM_USER_BASE + 6;    // 0x406, sent by the reader
inline constexpr unsigned WM_COMM_SYNC = WM_USER_BASE + 8;    // 0x408, sent by the reader at a sync point

// Platform codes of Open/Configure.
inline constexpr std::uint8_t ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;
inline constexpr std::uint8_t NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3,
                              SPACEPARITY = 4;

// Something bytes can be written to; the channel is one, a test capture another.
class CByteWriter {
public:
    virtual ~CByteWriter() = default;
    virtual int Write(const std::uint8_t* pBuf, std::uint32_t nLen) = 0;
};

// What became of one write.
enum class WriteOutcome : std::uint8_t {
    Sent,     // the port took every byte
    Queued,   // the rest waits in the queue for the port to take it
    Dropped,  // the bytes (or their rest) will never be sent; see nError and why
};

struct WriteReport {
    WriteOutcome outcome = WriteOutcome::Sent;
    int nError = 0;             // system error of a write the port refused, 0 otherwise
    const char* why = "";       // Dropped: in words ("port not open", "queue full", ...)
    std::size_t nStale = 0;     // bytes of earlier writes dropped at this write for their age
};

class CComm final : public CByteWriter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kChunk = 80;
    static constexpr unsigned kMaxPort = 10;
    // Bytes that wait in user space for the port to take them; more are dropped
    // (the missing ACK then reports the lost frame).
    static constexpr std::size_t kTxQueue = 4096;
    // Writes that wait at most; a write beyond them is dropped as with a full queue.
    static constexpr std::size_t kTxWrites = 64;
    // The write time-out: bytes that could not leave within this time of
    // their write are dropped, never sent late.
    static constexpr std::chrono::milliseconds kWriteTimeout{1000};

    // The line settings of an opening (platform codes as above).
    struct LineSettings {
        std::uint16_t nBaud = 9600;
        std::uint8_t nDataBits = 8, nStopBits = ONESTOPBIT, nParity = NOPARITY;
    };

    CComm();
    ~CComm() override;
    CComm(const CComm&) = delete;
    CComm& operator=(const CComm&) = delete;

    int InitOverlapped();
    int Open(std::uint16_t nPort, std::uint16_t nBaud, std::uint8_t nDataBits, std::uint8_t nStopBits,
             std::uint8_t nParity);
    int Configure(std::uint16_t nBaud, std::uint8_t nDataBits, std::uint8_t nStopBits,
                  std::uint8_t nParity);
    // Lets what was written leave (at most the write time-out), then
    // discards unread input and releases the port.  Always 1.
    int Close();
    std::uint32_t Read(std::uint8_t* pBuf, std::uint32_t nMax);
    // 1 when the port took every byte at once, else 0; LastWrite() says what
    // happened.
    int Write(const std::uint8_t* pBuf, std::uint32_t nLen) override;
    const WriteReport& LastWrite() const { return m_lastWrite; }
    // The link gave up on what it wrote: whatever of it has not left yet, in
    // the queue and in the driver's output buffer, is dropped.  Returns the
    // bytes dropped that could be counted (the driver of a pseudo-terminal
    // does not count its own).  User-interface thread.
    std::size_t DropUnsent();
    // Bytes written that have not left yet: the queue and the driver's output
    // buffer (as far as the driver counts).
    std::size_t UnsentBytes();

    // ---- the channel's state, for the console ---------------------------
    bool IsOpen() const { return m_bOpen.load() != 0; }
    // The descriptor or handle while a device is held (-1 otherwise, and for
    // an in-process line), for tests that look at the line.
    std::intptr_t Handle() const;
    const char* PortName() const { return m_szPort; }  // "COM%d"
    // The chunk handed over with the current WM_COMM_DATA.
    const std::uint8_t* Chunk() const { return m_RxBuf; }
    std::size_t ChunkLength() const { return m_wRxLen; }
    // Asks the reader for a sync point: once the hand-over under way (if
    // any) has ended, it reads what the port holds now, hands it over as
    // usual, and then sends WM_COMM_SYNC.  So when WM_COMM_SYNC is handled,
    // every byte that arrived before the request has been handled.  False
    // when no port is open: then no WM_COMM_SYNC comes.  A request made
    // while one is pending gets one sync point for both.
    bool RequestSync();
    // Puts bytes where the reader puts a chunk (at most kChunk are kept); for
    // front-ends and tests that feed the receiver without a port.
    void LoadChunk(const std::uint8_t* p, std::size_t n);
    // Who receives WM_COMM_DATA and WM_COMM_LOST; set before Open.
    void SetNotifyWindow(fw::Host* pHost) { m_hNotifyWnd = pHost; }
    fw::Host* NotifyWindow() const { return m_hNotifyWnd; }
    // Opening a port that another program merely has open (no lock file, no
    // flock, no exclusive flag) is refused unless this is set; it stays for
    // the reopening of a lost port until set again.
    void SetShared(bool bShared) { m_bShared = bShared; }
    bool Shared() const { return m_bShared; }
    // Error of the last close whose exclusive flag could not be cleared (0: it
    // was, or the platform has none).
    int ReleaseError() const { return m_nReleaseError; }
    // Why the reader ended by itself (the system error of a failed wait or
    // read; SystemErrorText words it), 0 for a hang-up.
    int ReaderError() const { return m_nReaderError.load(); }
    // The clock the write time-out is measured on (tests move it); set before Open.
    void SetClock(std::function<Clock::time_point()> now) { m_now = std::move(now); }

    // The port-number-to-device map (COMn -> the platform's name unless overridden).
    void SetPortMap(const PortMap& map) { m_portMap = map; }
    const PortMap& GetPortMap() const { return m_portMap; }
    // System error of the last failed open or configure (0 after a success).
    int LastError() const { return m_nLastError; }
    // Why the last Open failed (fault None after a success); DescribeOpenError
    // turns it into plain words.
    const PortOpenError& LastOpenError() const { return m_openError; }
    // Number of reader threads alive (0 or 1), for tests.
    static int LiveReaders();

    // The lock directory for UUCP lock files ("" : the system's); POSIX only.
    void SetLockDir(std::string dir) { m_strLockDir = std::move(dir); }
    // Where the by-id names are looked up ("/dev" unless a test moves it); POSIX only.
    void SetDevRoot(std::string dir) { m_strDevRoot = std::move(dir); }
    // The path the current or last successful opening used, and the stable
    // name it is reopened by (its /dev/serial/by-id name when it has one,
    // else the mapped path).
    const std::string& OpenedPath() const { return m_strOpened; }
    const std::string& ReopenPath() const { return m_strReopen; }
    std::uint16_t OpenedPort() const { return m_nPort; }

    // After WM_COMM_LOST, on the user-interface thread: releases the dead
    // descriptor and its locks at once (so the device's name is free for its
    // return) without waiting for the reader, which ends by itself.
    void ReleaseLost();
    // Opens the same port again, with the same settings, by its stable name;
    // writes nothing.  Nonzero on success.
    int Reopen();
    // Bytes waiting in the user-space queue, and bytes dropped since Open.
    std::size_t QueuedBytes();
    std::uint64_t DroppedBytes();

private:
    // ---- shared with the reader thread ----------------------------------
    char m_szPort[20] = {};        // "COM%d"
    std::atomic<int> m_bOpen{0};   // 1 from a successful Open until Close
    std::atomic<bool> m_bSyncAsked{false};  // RequestSync: a sync point is due
    std::uint8_t m_RxBuf[kChunk] = {};  // the chunk most recently read
    std::uint16_t m_wRxLen = 0;         // bytes in m_RxBuf during a hand-over
    fw::Host* m_hNotifyWnd = nullptr;   // receives WM_COMM_DATA

    // The line held (none while no port is held), and one let go of while
    // its reader may still be ending (ReleaseLost); both live until the
    // reader is joined.
    std::unique_ptr<comm::Line> m_line;
    std::unique_ptr<comm::Line> m_releasedLine;

    void CommReaderThread(std::stop_token st, comm::Line* line);
    // Reader side: hands over what the line holds, chunk by chunk; false
    // when a hand-over was cancelled or the port closed meanwhile.
    bool HandOverQueued(comm::Line& line, std::stop_token st, bool& gotAny);
    void StopReader();
    void Wake();
    // Opens path for port m_nPort with m_settings; fills m_openError on failure.
    int OpenPath(const std::string& path);
    // The platform's device at path, or an in-process line; null on failure
    // with m_openError filled (through Fail).
    std::unique_ptr<comm::Line> OpenDevice(const std::string& path);
    std::unique_ptr<comm::Line> OpenMemoryLine(const std::string& path);
    int Fail(PortFault fault, int err);
    // Reader side: sends what waits in the queue as far as the line takes it.
    void DrainTx(comm::Line& line);
    // With m_txMx held: drops whole writes older than the write time-out
    // (and the rest of one partly sent); returns the bytes dropped.
    std::size_t ExpireLocked(Clock::time_point now);
    void ClearQueueLocked();
    // With m_txMx held: n bytes at the head have left.
    void ConsumeLocked(std::size_t n);
    // With m_txMx held: writes the queue as far as the line takes it; 0 when
    // it is empty, kWouldBlock when the line is full, else the error that
    // dropped it.
    int SendQueuedLocked(comm::Line& line);
    static constexpr int kWouldBlock = -1;
    // Close's wait: the queue and the driver's buffer empty, or the deadline.
    void LetWrittenBytesLeave(comm::Line& line);
    Clock::time_point Now() const { return m_now ? m_now() : Clock::now(); }

    PortMap m_portMap;
    int m_nLastError = 0;
    PortOpenError m_openError;
    std::jthread m_reader;
    std::uint16_t m_nPort = 0;
    LineSettings m_settings;
    std::string m_strPath;    // the mapped path of the current or last opening
    std::string m_strReopen;  // the name it comes back by
    std::string m_strOpened;  // the path the last successful opening used
    std::string m_strLockDir;
    std::string m_strDevRoot = "/dev";
    portlock::Holder m_lastHolder;   // the program that last had the device open
    bool m_bLooking = false;         // Reopen: a look for a lost port
    bool m_bNamedWhileLooking = false;  // a whole scan named the holder during the looks
    bool m_bShared = false;
    int m_nReleaseError = 0;
    std::atomic<int> m_nReaderError{0};
    WriteReport m_lastWrite;
    std::function<Clock::time_point()> m_now;

    // The user-space transmit queue: a ring of bytes and a ring of the writes
    // they belong to (length and time of each), guarded by m_txMx.
    struct QueuedWrite {
        std::size_t nLen = 0;  // bytes of it still queued
        Clock::time_point at;
    };
    std::mutex m_txMx;
    std::array<std::uint8_t, kTxQueue> m_txBuf{};
    std::size_t m_txHead = 0, m_txCount = 0;
    std::array<QueuedWrite, kTxWrites> m_txWrites{};
    std::size_t m_txWHead = 0, m_txWCount = 0;
    std::uint64_t m_txDropped = 0;
    std::size_t m_txStaleUnreported = 0;  // dropped for their age, not yet told by a write
};
