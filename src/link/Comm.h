// CComm: the console's one serial channel.  Opens a numbered port (COMn, mapped
// to a device path), sets 9600 8N1 raw, writes without waiting, and runs one
// reader thread that drains received bytes in chunks of at most 80 and hands
// each chunk to the notify window with a synchronous WM_COMM_DATA.
#pragma once

#include "framework/Host.h"
#include "link/PortMap.h"

#include <atomic>
#include <cstdint>
#include <thread>

// Window messages of the console (WM_USER = 0x400).
inline constexpr unsigned WM_USER_BASE = 0x400;
inline constexpr unsigned WM_COMM_DATA = WM_USER_BASE + 1;    // 0x401, sent by the reader
inline constexpr unsigned WM_FRAME_READY = WM_USER_BASE + 2;  // 0x402, sent by the receiver
inline constexpr unsigned WM_NEXT_BLOCK = WM_USER_BASE + 5;   // 0x405, posted by the download

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
    // Number of reader threads alive (0 or 1), for tests.
    static int LiveReaders();

    // ---- members, as the console sees them -----------------------------
    int m_hComm = -1;              // descriptor; -1 while no port is held
    char m_szPort[20] = {};        // "COM%d"
    std::atomic<int> m_bOpen{0};   // 1 from a successful Open until Close
    std::uint8_t m_RxBuf[kChunk] = {};  // the chunk most recently read
    std::uint16_t m_wRxLen = 0;         // bytes in m_RxBuf during a hand-over
    fw::Host* m_hNotifyWnd = nullptr;   // receives WM_COMM_DATA

private:
    void CommReaderThread(std::stop_token st);
    void StopReader();

    PortMap m_portMap;
    int m_nLastError = 0;
    int m_wakeFd = -1;  // eventfd that wakes the reader's poll on Close
    std::jthread m_reader;
};
