// The serial channel on a POSIX terminal device.
//
// Open takes a port only when no other program has it, by every signal Linux
// gives: the UUCP lock file that serial programs share (a stale one, whose
// process is gone, is taken over), a look through /proc for processes that
// have the device open, and then the port's own exclusive flag (TIOCEXCL) and
// an flock.  The lock files of every name the device has are checked and
// taken: the device's (LCK..ttyUSB0), those of its /dev/serial/by-id and
// by-path names (LCK..serial_by-id_...) and the name's as given, since other
// programs lock whichever name they opened; a live one refuses the port even
// when sharing was allowed.  A program that
// only has the device open (no lock file, no flock, no exclusive flag) stops
// the open unless sharing was allowed (SetShared).  Root passes TIOCEXCL but
// sees every process; an ordinary user sees only their own processes but is
// stopped by TIOCEXCL.  The exclusive flag is cleared before every close: it
// outlives our descriptor while the far end of a pseudo-terminal stays open,
// and then only root could open it again.
//
// The line is raw 9600 8N1 with every input, output, control and local flag
// set here, none kept from an earlier program: no flow control, no parity
// checking, nothing stripped, translated or marked.  DTR and RTS are off and
// both queues flushed.
//
// One reader thread per opening waits in poll on the port and on an eventfd.
// It drains what is queued in chunks of at most 80 bytes and hands each to the
// notify window synchronously.  Write never waits: what the port does not take
// at once waits in a bounded user-space queue that the reader sends out, in
// order, when poll reports the port writable (Write wakes the poll through the
// eventfd).  Nothing leaves late: a write that could not leave within the
// write time-out (1000 ms) is dropped, and when the link gives up on a frame
// (DropUnsent) the queue and the driver's output buffer are emptied, so a
// frame the console no longer waits for never reaches the module.  Close lets
// written bytes leave first (within the write time-out) and discards only
// unread input.  A poll that fails is reported once, as a lost port.  A
// hang-up (the device went away) is reported once with a synchronous
// WM_COMM_LOST, and the reader ends.  Close cancels a waiting
// hand-over, wakes the poll and joins the reader, so no reader outlives its
// opening or touches a destroyed channel.
#include "link/Comm.h"
#include "link/PortDiscovery.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
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

// A port that polls readable with nothing to read is looked at again at most
// ten times a second.
constexpr int kRetryPauseMs = 100;

}  // namespace

CComm::CComm() = default;

CComm::~CComm() {
    if (m_bOpen) Close();
    StopReader();
    if (m_hComm >= 0) ReleaseDescriptor(m_hComm);
    m_hComm = -1;
    if (m_wakeFd >= 0) ::close(m_wakeFd);
}

int CComm::LiveReaders() { return g_liveReaders.load(); }

int CComm::InitOverlapped() {
    if (m_wakeFd >= 0) return 1;
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return m_wakeFd >= 0 ? 1 : 0;
}

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
    // Opening an open channel first closes it: the earlier descriptor is
    // released and its reader has ended before a new one starts.
    if (m_bOpen || m_hComm >= 0) Close();
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
    if (m_bOpen || m_hComm >= 0) Close();
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
    if (fault == PortFault::InUse) m_openError.seesEveryProcess = ::geteuid() == 0;
    m_locks.Release();
    m_hComm = -1;
    return 0;
}

int CComm::OpenPath(const std::string& path) {
    m_openError = PortOpenError{};
    m_openError.nPort = m_nPort;
    m_openError.path = path;
    if (m_wakeFd < 0 && !InitOverlapped()) return Fail(PortFault::Other, errno);
    if (path.empty()) return Fail(PortFault::NoPortNumber, ENOENT);

    // The device itself, behind any links: locks and holders are found by it.
    char real[PATH_MAX];
    if (!::realpath(path.c_str(), real)) {
        const int e = errno;
        return Fail(e == EACCES ? PortFault::NoPermission : PortFault::NoDevice, e);
    }
    const std::string device = real;
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0) return Fail(PortFault::NoDevice, errno);
    if (!S_ISCHR(st.st_mode)) return Fail(PortFault::NotTerminal, ENOTTY);

    // Who has the device open.  The program found last is asked first (one
    // process's descriptors, not all of /proc).  While a lost port is looked
    // for, a refusal that is already certain (exclusive flag, flock) names
    // its holder by a whole scan only once.
    auto findHolder = [&](bool bDecides) -> std::optional<portlock::Holder> {
        if (m_lastHolder.pid > 0 && m_lastHolder.pid != static_cast<int>(::getpid()) &&
            portlock::HasOpen(m_lastHolder.pid, device))
            return m_lastHolder;
        if (!bDecides && m_bLooking && m_bNamedWhileLooking) return std::nullopt;
        m_bNamedWhileLooking = m_bLooking;
        auto h = portlock::FindOtherHolder(device);
        m_lastHolder = h ? *h : portlock::Holder{};
        return h;
    };
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        switch (e) {
        case ENOENT:
        case ENODEV:
        case ENXIO: return Fail(PortFault::NoDevice, e);
        case EACCES:
        case EPERM:
        case EROFS: return Fail(PortFault::NoPermission, e);
        case EBUSY:  // held exclusively (TIOCEXCL) by another program
            if (auto other = findHolder(false)) m_openError.holder = *other;
            m_openError.exclusive = true;
            return Fail(PortFault::InUse, e);
        default: return Fail(PortFault::Other, e);
        }
    }
    if (!::isatty(fd)) {
        ::close(fd);
        return Fail(PortFault::NotTerminal, ENOTTY);
    }
    // Every sign of another program: its flock, its UUCP lock file, its
    // descriptor seen in /proc.
    portlock::Holder holder;
    const std::string lockDir = m_strLockDir.empty() ? portlock::DefaultLockDir() : m_strLockDir;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        ::close(fd);
        if (e != EWOULDBLOCK) return Fail(PortFault::Other, e);
        if (auto other = findHolder(false)) m_openError.holder = *other;
        return Fail(PortFault::InUse, EBUSY);
    }
    // The lock files of every name the device has: the device's, its by-id
    // and by-path names' (another program may have opened it by any of them)
    // and the name given.  A live lock file refuses the port, shared or not.
    std::vector<std::string> names{device};
    for (std::string& link : StableNames(device.substr(device.rfind('/') + 1), DeviceRoots{"", m_strDevRoot})) {
        char to[PATH_MAX];
        if (::realpath(link.c_str(), to) && device == to) names.push_back(std::move(link));
    }
    if (path != device) names.push_back(path);
    if (m_locks.Acquire(lockDir, names, holder) == portlock::UucpLock::Result::Held) {
        ::close(fd);
        m_openError.holder = holder;
        m_openError.lockFile = m_locks.HeldPath();
        return Fail(PortFault::InUse, EBUSY);
    }
    // Root passes another program's exclusive flag: a program that has the
    // device open with it set refuses here.  Set with no program holding the
    // device, the flag is a left-over of one that ended without closing: it
    // is ours now, and cleared at our close.
    int excl = 0;
    const bool exclusiveSet = ::ioctl(fd, TIOCGEXCL, &excl) == 0 && excl != 0;
    if (auto other = findHolder(true); other && (exclusiveSet || !m_bShared)) {
        ::close(fd);
        m_openError.holder = *other;
        m_openError.exclusive = exclusiveSet;
        m_openError.onlyOpen = !exclusiveSet;
        return Fail(PortFault::InUse, EBUSY);
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        const int e = errno;
        ::close(fd);
        return Fail(PortFault::NotTerminal, e);
    }
    m_hComm = fd;
    ::tcflush(fd, TCIOFLUSH);
    if (!Configure(m_settings.nBaud, m_settings.nDataBits, m_settings.nStopBits, m_settings.nParity)) {
        const int e = m_nLastError;
        m_bOpen = 0;
        ReleaseDescriptor(fd);
        return Fail(PortFault::SettingsRefused, e);
    }
    m_nLastError = 0;
    m_strOpened = path;
    if (m_strReopen.empty()) {
        const std::string byId = FindByIdName(device.substr(device.rfind('/') + 1), DeviceRoots{"", m_strDevRoot});
        m_strReopen = path.rfind(m_strDevRoot + "/serial/by-id/", 0) == 0 || byId.empty() ? path : byId;
    }
    {
        std::lock_guard lk(m_txMx);
        ClearQueueLocked();
        m_txDropped = 0;
        m_txStaleUnreported = 0;
    }
    m_nReaderError = 0;
    // Drain a stale wake-up left by an earlier Close or Write.
    std::uint64_t v;
    while (::read(m_wakeFd, &v, sizeof v) > 0) {
    }
    m_bOpen = 1;
    ++g_liveReaders;  // counted from its start; the reader itself counts its end
    m_reader = std::jthread([this](std::stop_token st) { CommReaderThread(st); });
    return 1;
}

int CComm::Configure(std::uint16_t nBaud, std::uint8_t nDataBits, std::uint8_t nStopBits, std::uint8_t nParity) {
    const int fd = m_hComm;
    termios tio{};
    if (fd < 0 || ::tcgetattr(fd, &tio) != 0) {
        m_nLastError = fd < 0 ? EBADF : errno;
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
    // Every flag is set here; nothing an earlier program left stays.
    // Input: breaks ignored (no 0x00 is made up for them); no parity checking,
    // so a byte with a framing or parity error is passed on as it arrived; no
    // stripping, no CR/NL translation, no XON/XOFF.
    tio.c_iflag = IGNBRK;
    tio.c_oflag = 0;  // bytes go out as written
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag = kSizes[nDataBits - 5] | CREAD | CLOCAL | HUPCL;  // no CRTSCTS
    if (nStopBits == TWOSTOPBITS) tio.c_cflag |= CSTOPB;
    if (nParity == ODDPARITY) tio.c_cflag |= PARENB | PARODD;
    if (nParity == EVENPARITY) tio.c_cflag |= PARENB;
#ifdef CMSPAR
    if (nParity == MARKPARITY) tio.c_cflag |= PARENB | PARODD | CMSPAR;
    if (nParity == SPACEPARITY) tio.c_cflag |= PARENB | CMSPAR;
#endif
    tio.c_lflag = 0;  // no echo, no line editing, no signals
    for (cc_t& c : tio.c_cc) c = _POSIX_VDISABLE;
    tio.c_cc[VSTART] = 0x11;  // without effect while XON/XOFF is off
    tio.c_cc[VSTOP] = 0x13;
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

void CComm::Wake() {
    if (m_wakeFd < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto r = ::write(m_wakeFd, &one, sizeof one);
}

void CComm::StopReader() {
    if (!m_reader.joinable()) return;
    m_reader.request_stop();
    Wake();
    m_reader.join();
}

void CComm::ReleaseDescriptor(int fd) {
    if (fd >= 0) {
        // Left set, the flag would keep this user (and every other but root)
        // out while the far end stays open.  A device that went away answers
        // EIO, and its flag went with it.
        m_nReleaseError = 0;
        if (::ioctl(fd, TIOCNXCL) != 0 && errno != EIO) m_nReleaseError = errno;
        ::close(fd);
    }
    m_locks.Release();
}

void CComm::LetWrittenBytesLeave(int fd) {
    // The reader has ended: the queue is sent from here.  Nothing waits
    // longer than the write time-out; what has not left by then is stale.
    const auto deadline = Clock::now() + kWriteTimeout;
    for (;;) {
        {
            std::lock_guard lk(m_txMx);
            ExpireLocked(Now());
            if (m_txCount == 0) break;
            if (SendQueuedLocked(fd) != EAGAIN) continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(std::min<long long>(left, 10))) < 0 && errno != EINTR) break;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) break;
    }
    int out = 0;
    while (Clock::now() < deadline && ::ioctl(fd, TIOCOUTQ, &out) == 0 && out > 0) {
        pollfd none{-1, 0, 0};
        ::poll(&none, 1, 5);
    }
    std::lock_guard lk(m_txMx);
    m_txDropped += m_txCount;
    ClearQueueLocked();
    if (::ioctl(fd, TIOCOUTQ, &out) == 0 && out > 0) ::tcflush(fd, TCOFLUSH);
}

int CComm::Close() {
    const int fd = m_hComm;
    const bool wasOpen = m_bOpen != 0;
    m_bOpen = 0;
    StopReader();
    if (fd >= 0) {
        if (wasOpen) LetWrittenBytesLeave(fd);
        int lines = TIOCM_DTR;
        ::ioctl(fd, TIOCMBIC, &lines);
        ::tcflush(fd, TCIFLUSH);  // only what came in and was not read
    }
    ReleaseDescriptor(fd);
    {
        std::lock_guard lk(m_txMx);
        ClearQueueLocked();
    }
    // The stale value stays, but never as a descriptor that could be reused.
    m_hComm = -1;
    return 1;
}

void CComm::ReleaseLost() {
    m_bOpen = 0;  // the reader, once out of its hand-over, ends without touching the port
    m_bNamedWhileLooking = false;
    std::lock_guard lk(m_txMx);  // the reader sends only under this lock
    m_txDropped += m_txCount;
    ClearQueueLocked();
    if (m_hComm >= 0) ::tcflush(m_hComm, TCOFLUSH);  // nothing of it leaves if the device comes back
    ReleaseDescriptor(m_hComm);
    m_hComm = -1;
}

std::size_t CComm::DropUnsent() {
    std::lock_guard lk(m_txMx);
    std::size_t n = m_txCount + m_txStaleUnreported;
    m_txDropped += m_txCount;
    m_txStaleUnreported = 0;
    ClearQueueLocked();
    const int fd = m_hComm;
    if (fd >= 0 && m_bOpen) {
        int out = 0;
        if (::ioctl(fd, TIOCOUTQ, &out) == 0 && out > 0) n += static_cast<std::size_t>(out);
        ::tcflush(fd, TCOFLUSH);
    }
    return n;
}

std::size_t CComm::UnsentBytes() {
    std::lock_guard lk(m_txMx);
    std::size_t n = m_txCount;
    const int fd = m_hComm;
    int out = 0;
    if (fd >= 0 && m_bOpen && ::ioctl(fd, TIOCOUTQ, &out) == 0 && out > 0) n += static_cast<std::size_t>(out);
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

int CComm::SendQueuedLocked(int fd) {
    while (m_txCount > 0) {
        const std::size_t run = std::min(m_txCount, kTxQueue - m_txHead);  // contiguous part
        const ssize_t r = ::write(fd, m_txBuf.data() + m_txHead, run);
        if (r > 0) {
            ConsumeLocked(static_cast<std::size_t>(r));
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno == EAGAIN) return EAGAIN;
        const int e = r < 0 ? errno : EIO;
        m_txDropped += m_txCount;  // the port failed
        ClearQueueLocked();
        return e;
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
    std::lock_guard lk(m_txMx);
    m_lastWrite = WriteReport{};
    auto drop = [&](const char* why, int err, std::size_t n) {
        m_lastWrite.outcome = WriteOutcome::Dropped;
        m_lastWrite.why = why;
        m_lastWrite.nError = err;
        m_txDropped += n;
        return 0;
    };
    const int fd = m_hComm;
    if (fd < 0 || !m_bOpen) return drop("the port is not open", 0, nLen);
    if (!pBuf && nLen) return drop("no bytes given", EINVAL, 0);
    ExpireLocked(Now());
    m_lastWrite.nStale = m_txStaleUnreported;  // dropped since the last write for their age
    m_txStaleUnreported = 0;
    std::uint32_t done = 0;
    // Straight to the port while nothing waits before these bytes.
    while (m_txCount == 0 && done < nLen) {
        const ssize_t r = ::write(fd, pBuf + done, nLen - done);
        if (r > 0) {
            done += static_cast<std::uint32_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno == EAGAIN) break;
        // The port failed: the frame shows as a missing ACK, and here.
        return drop("the port refused the write", r < 0 ? errno : EIO, nLen - done);
    }
    if (done == nLen) return 1;
    // The rest waits whole or not at all.
    const std::size_t rest = nLen - done;
    if (rest > kTxQueue - m_txCount || m_txWCount == kTxWrites)
        return drop("the port takes nothing and the queue is full", EAGAIN, rest);
    for (std::size_t i = 0; i < rest; ++i) m_txBuf[(m_txHead + m_txCount + i) % kTxQueue] = pBuf[done + i];
    m_txCount += rest;
    m_txWrites[(m_txWHead + m_txWCount) % kTxWrites] = QueuedWrite{rest, Now()};
    ++m_txWCount;
    m_lastWrite.outcome = WriteOutcome::Queued;
    Wake();
    return 0;
}

void CComm::DrainTx(int fd) {
    std::lock_guard lk(m_txMx);
    if (!m_bOpen) return;
    ExpireLocked(Now());  // nothing leaves late
    SendQueuedLocked(fd);
}

void CComm::CommReaderThread(std::stop_token st) {
    const int fd = m_hComm;
    std::uint8_t buf[kChunk];
    while (m_bOpen && !st.stop_requested()) {
        bool sending;
        {
            std::lock_guard lk(m_txMx);
            sending = m_txCount > 0;
        }
        pollfd fds[2] = {{fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0}, {m_wakeFd, POLLIN, 0}};
        const int r = ::poll(fds, 2, -1);
        if (st.stop_requested() || !m_bOpen) break;
        if (r < 0) {
            if (errno == EINTR) continue;
            // The reader cannot wait on the port any more: said once, as a
            // lost port (the console releases it and opens it again).
            m_nReaderError = errno;
            if (m_hNotifyWnd) m_hNotifyWnd->SendMessageFromThread(WM_COMM_LOST, 0, 0, st);
            break;
        }
        if (fds[1].revents & POLLIN) {
            std::uint64_t v;
            while (::read(m_wakeFd, &v, sizeof v) > 0) {
            }
        }
        const short ev = fds[0].revents;
        if (ev & POLLOUT) DrainTx(fd);
        bool gotAny = false;
        if (ev & (POLLIN | POLLHUP | POLLERR)) {
            for (;;) {
                const std::uint32_t n = Read(buf, kChunk);
                if (n == 0) break;
                gotAny = true;
                for (std::uint32_t i = 0; i < n; ++i) m_RxBuf[i] = buf[i];
                m_wRxLen = static_cast<std::uint16_t>(n);
                if (!m_hNotifyWnd || !m_hNotifyWnd->SendMessageFromThread(WM_COMM_DATA, 0, 0, st)) break;
                if (!m_bOpen) break;
            }
        }
        if (st.stop_requested() || !m_bOpen) break;
        if (ev & (POLLHUP | POLLERR | POLLNVAL)) {
            // The device went away (an adapter pulled, the far end of a
            // pseudo-terminal closed): say so once and end.
            if (m_hNotifyWnd) m_hNotifyWnd->SendMessageFromThread(WM_COMM_LOST, 0, 0, st);
            break;
        }
        if ((ev & POLLIN) && !gotAny) {
            // Readable with nothing queued: look again later instead of spinning.
            pollfd w{m_wakeFd, POLLIN, 0};
            ::poll(&w, 1, kRetryPauseMs);
        }
    }
    --g_liveReaders;
}
