// CComm: the console's one serial channel.  Opens a numbered port (COMn, mapped
// to a device path), sets 9600 8N1 raw, writes without waiting, and runs one
// reader thread that drains received bytes in chunks of at most 80 and hands
// each chunk to the notify window with a synchronous WM_COMM_DATA.  When the
// device goes away while open, the reader tells the window with a synchronous
// WM_COMM_LOST and ends.
#pragma once

#include "framework/Host.h"
#include "link/PortError.h"
#include "link/PortLock.h"
#include "link/PortMap.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// Window messages of the console (WM_USER = 0x400).
inline constexpr unsigned WM_USER_BASE = 0x400;
inline constexpr unsigned WM_COMM_DATA = WM_USER_BASE + 1;    // 0x401, sent by the reader
inline constexpr unsigned WM_FRAME_READY = WM_USER_BASE + 2;  // 0x402, sent by the receiver
inline constexpr unsigned WM_NEXT_BLOCK = WM_USER_BASE + 5;   // 0x405, posted by the download
inline constexpr unsigned WM_COMM_LOST = WM_USER_BASE + 6;    // 0x406, sent by the reader

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

class CComm final : public CByteWriter {
public:
    static constexpr std::size_t kChunk = 80;
    static constexpr unsigned kMaxPort = 10;
    // Bytes that wait in user space for the port to take them; more are dropped
    // (the missing ACK then reports the lost frame).
    static constexpr std::size_t kTxQueue = 4096;

    CComm();
    ~CComm() override;
    CComm(const CComm&) = delete;
    CComm& operator=(const CComm&) = delete;

    int InitOverlapped();
    int Open(std::uint16_t nPort, std::uint16_t nBaud, std::uint8_t nDataBits, std::uint8_t nStopBits,
             std::uint8_t nParity);
    int Configure(std::uint16_t nBaud, std::uint8_t nDataBits, std::uint8_t nStopBits,
                  std::uint8_t nParity);
    int Close();
    std::uint32_t Read(std::uint8_t* pBuf, std::uint32_t nMax);
    int Write(const std::uint8_t* pBuf, std::uint32_t nLen) override;

    // The port-number-to-device map (COMn -> /dev/ttyS(n-1) unless overridden).
    void SetPortMap(const PortMap& map) { m_portMap = map; }
    const PortMap& GetPortMap() const { return m_portMap; }
    // errno of the last failed open or configure (0 after a success).
    int LastError() const { return m_nLastError; }
    // Why the last Open failed (fault None after a success); DescribeOpenError
    // turns it into plain words.
    const PortOpenError& LastOpenError() const { return m_openError; }
    // Number of reader threads alive (0 or 1), for tests.
    static int LiveReaders();

    // The lock directory for UUCP lock files ("" : the system's).
    void SetLockDir(std::string dir) { m_strLockDir = std::move(dir); }
    // Where the by-id names are looked up ("/dev" unless a test moves it).
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
    // Bytes written and not yet on the line: the user-space queue and the
    // driver's output queue (0 while no port is open).
    std::size_t UnsentBytes();
    std::uint64_t DroppedBytes();

    // ---- members, as the console sees them -----------------------------
    int m_hComm = -1;              // descriptor; -1 while no port is held
    char m_szPort[20] = {};        // "COM%d"
    std::atomic<int> m_bOpen{0};   // 1 from a successful Open until Close
    std::uint8_t m_RxBuf[kChunk] = {};  // the chunk most recently read
    std::uint16_t m_wRxLen = 0;         // bytes in m_RxBuf during a hand-over
    fw::Host* m_hNotifyWnd = nullptr;   // receives WM_COMM_DATA

private:
    struct LineSettings {
        std::uint16_t nBaud = 9600;
        std::uint8_t nDataBits = 8, nStopBits = ONESTOPBIT, nParity = NOPARITY;
    };
    void CommReaderThread(std::stop_token st);
    void StopReader();
    void Wake();
    // Opens path for port m_nPort with m_settings; fills m_openError on failure.
    int OpenPath(const std::string& path);
    int Fail(PortFault fault, int err);
    // Clears the exclusive flag (so an ordinary user may open the port again
    // while its far end stays open), closes the descriptor, drops the lock.
    void ReleaseDescriptor(int fd);
    // Reader side: sends what waits in the queue as far as the port takes it.
    void DrainTx(int fd);

    PortMap m_portMap;
    int m_nLastError = 0;
    PortOpenError m_openError;
    int m_wakeFd = -1;  // eventfd that wakes the reader's poll (Close, Write)
    std::jthread m_reader;
    std::uint16_t m_nPort = 0;
    LineSettings m_settings;
    std::string m_strPath;    // the mapped path of the current or last opening
    std::string m_strReopen;  // the name it comes back by
    std::string m_strOpened;  // the path the last successful opening used
    std::string m_strLockDir;
    std::string m_strDevRoot = "/dev";
    portlock::UucpLock m_lock;

    // The user-space transmit queue: a ring, guarded by m_txMx.
    std::mutex m_txMx;
    std::array<std::uint8_t, kTxQueue> m_txBuf{};
    std::size_t m_txHead = 0, m_txCount = 0;
    std::uint64_t m_txDropped = 0;
};
