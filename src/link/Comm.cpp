// The serial channel on a POSIX terminal device.
//
// Open: O_RDWR|O_NOCTTY|O_NONBLOCK, exclusive (TIOCEXCL and flock, so a second
// program is refused even as root), raw 9600 8N1 without flow control, DTR and
// RTS off, both queues flushed.  One reader thread per opening waits in poll on
// the port and on an eventfd that Close writes; it drains what is queued in
// chunks of at most 80 bytes and hands each to the notify window synchronously.
// Close cancels a waiting hand-over, wakes the poll and joins the reader, so no
// reader outlives its opening or touches a destroyed channel.
#include "link/Comm.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::atomic<int> g_liveReaders{0};

struct BaudRate {  // bits per second, termios speed
    unsigned bps;
    speed_t speed;
};
constexpr std::array<BaudRate, 12> kBaudRates{{{110, B110},
                                               {300, B300},
                                               {600, B600},
                                               {1200, B1200},
                                               {2400, B2400},
                                               {4800, B4800},
                                               {9600, B9600},
                                               {19200, B19200},
                                               {38400, B38400},
                                               {57600, B57600},
                                               {115200, B115200},
                                               {230400, B230400}}};

// After the far end went away the reader looks again at most ten times a second.
constexpr int kRetryPauseMs = 100;
// A write that meets a full queue waits at most this long for room.
constexpr int kWriteWaitMs = 200;

}  // namespace

CComm::CComm() = default;

CComm::~CComm() {
    if (m_bOpen) Close();
    StopReader();
    if (m_wakeFd >= 0) ::close(m_wakeFd);
}

int CComm::LiveReaders() { return g_liveReaders.load(); }

int CComm::InitOverlapped() {
    if (m_wakeFd >= 0) return 1;
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return m_wakeFd >= 0 ? 1 : 0;
}

int CComm::Open(std::uint16_t nPort, std::uint16_t nBaud, std::uint8_t nDataBits, std::uint8_t nStopBits,
                std::uint8_t nParity) {
    if (nPort > kMaxPort) return 0;
    std::snprintf(m_szPort, sizeof m_szPort, "COM%d", static_cast<int>(nPort));
    // Opening an open channel first closes it: the earlier descriptor is
    // released and its reader has ended before a new one starts.
    if (m_bOpen || m_hComm >= 0) Close();
    StopReader();
    if (m_wakeFd < 0 && !InitOverlapped()) {
        m_nLastError = errno;
        return 0;
    }
    const std::string path = m_portMap.PathFor(nPort);
    if (path.empty()) {
        m_nLastError = ENOENT;
        m_hComm = -1;
        return 0;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        m_nLastError = errno;
        m_hComm = -1;
        return 0;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
        m_nLastError = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        m_hComm = -1;
        return 0;
    }
    m_hComm = fd;
    ::tcflush(fd, TCIOFLUSH);
    const int ok = Configure(nBaud, nDataBits, nStopBits, nParity);
    if (!ok) {
        m_bOpen = 0;
        ::close(fd);
        m_hComm = -1;
        return 0;
    }
    m_nLastError = 0;
    // Drain a stale wake-up left by an earlier Close.
    std::uint64_t v;
    while (::read(m_wakeFd, &v, sizeof v) > 0) {
    }
    m_bOpen = 1;
    ++g_liveReaders;  // counted from its start; the reader itself counts its end
    m_reader = std::jthread([this](std::stop_token st) { CommReaderThread(st); });
    return ok;
}

int CComm::Configure(std::uint16_t nBaud, std::uint8_t nDataBits, std::uint8_t nStopBits, std::uint8_t nParity) {
    const int fd = m_hComm;
    termios tio{};
    if (fd < 0 || ::tcgetattr(fd, &tio) != 0) {
        m_nLastError = errno;
        return 0;
    }
    speed_t speed = 0;
    for (const auto& b : kBaudRates)
        if (b.bps == nBaud) speed = b.speed;
    if (speed == 0 || nDataBits < 5 || nDataBits > 8 || nStopBits == ONE5STOPBITS || nStopBits > TWOSTOPBITS ||
        nParity > SPACEPARITY) {
        m_nLastError = EINVAL;
        return 0;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[nDataBits - 5];
    if (nStopBits == TWOSTOPBITS) tio.c_cflag |= CSTOPB;
    if (nParity == ODDPARITY) tio.c_cflag |= PARENB | PARODD;
    if (nParity == EVENPARITY) tio.c_cflag |= PARENB;
#ifdef CMSPAR
    if (nParity == MARKPARITY) tio.c_cflag |= PARENB | PARODD | CMSPAR;
    if (nParity == SPACEPARITY) tio.c_cflag |= PARENB | CMSPAR;
#endif
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        m_nLastError = errno;
        return 0;
    }
    // DTR and RTS held off; a pseudo-terminal has no modem lines, which is fine.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIC, &lines);
    return 1;
}

void CComm::StopReader() {
    if (!m_reader.joinable()) return;
    m_reader.request_stop();
    if (m_wakeFd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto r = ::write(m_wakeFd, &one, sizeof one);
    }
    m_reader.join();
}

int CComm::Close() {
    m_bOpen = 0;
    StopReader();
    const int fd = m_hComm;
    if (fd >= 0) {
        int lines = TIOCM_DTR;
        ::ioctl(fd, TIOCMBIC, &lines);
        ::tcflush(fd, TCIOFLUSH);
        ::close(fd);
    }
    // The stale value stays, but never as a descriptor that could be reused.
    m_hComm = -1;
    return 1;
}

std::uint32_t CComm::Read(std::uint8_t* pBuf, std::uint32_t nMax) {
    const int fd = m_hComm;
    if (fd < 0 || nMax == 0) return 0;
    int queued = 0;
    if (::ioctl(fd, FIONREAD, &queued) != 0 || queued <= 0) return 0;
    const std::uint32_t n = std::min<std::uint32_t>(nMax, static_cast<std::uint32_t>(queued));
    for (;;) {
        const ssize_t r = ::read(fd, pBuf, n);
        if (r >= 0) return static_cast<std::uint32_t>(r);
        if (errno != EINTR) return 0;
    }
}

int CComm::Write(const std::uint8_t* pBuf, std::uint32_t nLen) {
    const int fd = m_hComm;
    if (fd < 0 || !m_bOpen) return 0;
    std::uint32_t done = 0;
    bool waited = false;
    while (done < nLen) {
        const ssize_t r = ::write(fd, pBuf + done, nLen - done);
        if (r > 0) {
            done += static_cast<std::uint32_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            waited = true;
            if (::poll(&p, 1, kWriteWaitMs) > 0) continue;
        }
        return 0;  // a lost frame shows up as a missing ACK
    }
    return waited ? 0 : 1;
}

void CComm::CommReaderThread(std::stop_token st) {
    const int fd = m_hComm;
    std::uint8_t buf[kChunk];
    while (m_bOpen && !st.stop_requested()) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        const int r = ::poll(fds, 2, -1);
        if (st.stop_requested()) break;
        if (r < 0) {
            if (errno == EINTR) continue;
            pollfd w{m_wakeFd, POLLIN, 0};
            ::poll(&w, 1, kRetryPauseMs);
            continue;
        }
        if (fds[1].revents & POLLIN) continue;  // woken: the loop test decides
        if (fds[0].revents & POLLIN) {
            bool gotAny = false;
            for (;;) {
                const std::uint32_t n = Read(buf, kChunk);
                if (n == 0) break;
                gotAny = true;
                for (std::uint32_t i = 0; i < n; ++i) m_RxBuf[i] = buf[i];
                m_wRxLen = static_cast<std::uint16_t>(n);
                if (!m_hNotifyWnd || !m_hNotifyWnd->SendMessageFromThread(WM_COMM_DATA, 0, 0, st)) break;
            }
            if (gotAny) continue;
        }
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL | POLLIN)) {
            // The device went away (or reports readable with nothing queued):
            // look again later instead of spinning.
            pollfd w{m_wakeFd, POLLIN, 0};
            ::poll(&w, 1, kRetryPauseMs);
        }
    }
    --g_liveReaders;
}
