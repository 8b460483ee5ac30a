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
// The reader waits in poll on the port and on an eventfd that Write and
// Close use to wake it; a port that polls readable with nothing to read is
// looked at again at most ten times a second.  A poll that fails, and a
// hang-up, end the line as lost.
#include "link/Comm.h"
#include "link/CommLine.h"
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


// A terminal device: its descriptor, the eventfd that wakes the reader's
// poll, and the UUCP lock files of its names.
class PosixLine final : public comm::Line {
public:
    int fd = -1;
    int wakeFd = -1;
    portlock::UucpLockSet locks;

    ~PosixLine() override {
        Release();
        if (wakeFd >= 0) ::close(wakeFd);
    }

    comm::Wakeup Wait(bool wantWrite) override {
        comm::Wakeup w;
        if (m_pauseDue) {
            // Readable with nothing queued: look again later instead of spinning.
            m_pauseDue = false;
            pollfd p{wakeFd, POLLIN, 0};
            if (::poll(&p, 1, kRetryPauseMs) > 0) {
                DrainWake();
                return w;
            }
        }
        pollfd fds[2] = {{fd, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0}, {wakeFd, POLLIN, 0}};
        const int r = ::poll(fds, 2, -1);
        if (r < 0) {
            if (errno != EINTR) w.error = errno;
            return w;
        }
        if (fds[1].revents & POLLIN) DrainWake();
        const short ev = fds[0].revents;
        w.readable = (ev & POLLIN) != 0;
        w.writable = (ev & POLLOUT) != 0;
        w.hungUp = (ev & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        m_pauseDue = w.readable;  // until a read finds bytes
        return w;
    }

    void Wake() override {
        if (wakeFd < 0) return;
        const std::uint64_t one = 1;
        [[maybe_unused]] auto r = ::write(wakeFd, &one, sizeof one);
    }

    std::uint32_t ReadNow(std::uint8_t* p, std::uint32_t max) override {
        int queued = 0;
        if (fd < 0 || ::ioctl(fd, FIONREAD, &queued) != 0 || queued <= 0) return 0;
        const std::uint32_t n = std::min<std::uint32_t>(max, static_cast<std::uint32_t>(queued));
        for (;;) {
            const ssize_t r = ::read(fd, p, n);
            if (r > 0) m_pauseDue = false;
            if (r >= 0) return static_cast<std::uint32_t>(r);
            if (errno != EINTR) return 0;
        }
    }

    long WriteNow(const std::uint8_t* p, std::size_t n, int& err) override {
        for (;;) {
            const ssize_t r = ::write(fd, p, n);
            if (r > 0) return static_cast<long>(r);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 && errno == EAGAIN) return 0;
            err = r < 0 ? errno : EIO;
            return -1;
        }
    }

    bool WaitWritable(std::chrono::milliseconds wait) override {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(wait.count())) < 0 && errno != EINTR) return false;
        return (p.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
    }

    std::size_t OutputPending() override {
        int out = 0;
        return fd >= 0 && ::ioctl(fd, TIOCOUTQ, &out) == 0 && out > 0 ? static_cast<std::size_t>(out) : 0;
    }

    void DropOutput() override {
        if (fd >= 0) ::tcflush(fd, TCOFLUSH);
    }

    void EndSession() override {
        if (fd < 0) return;
        int lines = TIOCM_DTR;
        ::ioctl(fd, TIOCMBIC, &lines);
        ::tcflush(fd, TCIFLUSH);
    }

    int Configure(const CComm::LineSettings& s) override;

    // Clears the exclusive flag (so an ordinary user may open the port again
    // while its far end stays open), closes the descriptor, drops the locks.
    int Release() override {
        int err = 0;
        if (fd >= 0) {
            // Left set, the flag would keep this user (and every other but root)
            // out while the far end stays open.  A device that went away answers
            // EIO, and its flag went with it.
            if (::ioctl(fd, TIOCNXCL) != 0 && errno != EIO) err = errno;
            ::close(fd);
            fd = -1;
        }
        locks.Release();
        return err;
    }

    std::intptr_t Native() const override { return fd; }

private:
    void DrainWake() {
        std::uint64_t v;
        while (::read(wakeFd, &v, sizeof v) > 0) {
        }
    }
    bool m_pauseDue = false;
};

int PosixLine::Configure(const CComm::LineSettings& s) {
    termios tio{};
    if (fd < 0) return EBADF;
    if (::tcgetattr(fd, &tio) != 0) return errno;
    speed_t speed = 0;
    for (const auto& b : kBaudRates)
        if (b.bps == s.nBaud) speed = b.speed;
    if (speed == 0 || s.nDataBits < 5 || s.nDataBits > 8 || s.nStopBits == ONE5STOPBITS ||
        s.nStopBits > TWOSTOPBITS || s.nParity > SPACEPARITY)
        return EINVAL;
    // Every flag is set here; nothing an earlier program left stays.
    // Input: breaks ignored (no 0x00 is made up for them); no parity checking,
    // so a byte with a framing or parity error is passed on as it arrived; no
    // stripping, no CR/NL translation, no XON/XOFF.
    tio.c_iflag = IGNBRK;
    tio.c_oflag = 0;  // bytes go out as written
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag = kSizes[s.nDataBits - 5] | CREAD | CLOCAL | HUPCL;  // no CRTSCTS
    if (s.nStopBits == TWOSTOPBITS) tio.c_cflag |= CSTOPB;
    if (s.nParity == ODDPARITY) tio.c_cflag |= PARENB | PARODD;
    if (s.nParity == EVENPARITY) tio.c_cflag |= PARENB;
#ifdef CMSPAR
    if (s.nParity == MARKPARITY) tio.c_cflag |= PARENB | PARODD | CMSPAR;
    if (s.nParity == SPACEPARITY) tio.c_cflag |= PARENB | CMSPAR;
#endif
    tio.c_lflag = 0;  // no echo, no line editing, no signals
    for (cc_t& c : tio.c_cc) c = _POSIX_VDISABLE;
    tio.c_cc[VSTART] = 0x11;  // without effect while XON/XOFF is off
    tio.c_cc[VSTOP] = 0x13;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) return errno;
    // DTR and RTS held off; a pseudo-terminal has no modem lines, which is fine.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIC, &lines);
    return 0;
}

}  // namespace

std::unique_ptr<comm::Line> CComm::OpenDevice(const std::string& path) {
    auto fail = [&](PortFault fault, int err) -> std::unique_ptr<comm::Line> {
        if (fault == PortFault::InUse) m_openError.seesEveryProcess = ::geteuid() == 0;
        Fail(fault, err);
        return nullptr;  // the line's locks go with it
    };
    auto line = std::make_unique<PosixLine>();
    line->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (line->wakeFd < 0) return fail(PortFault::Other, errno);

    // The device itself, behind any links: locks and holders are found by it.
    char real[PATH_MAX];
    if (!::realpath(path.c_str(), real)) {
        const int e = errno;
        return fail(e == EACCES ? PortFault::NoPermission : PortFault::NoDevice, e);
    }
    const std::string device = real;
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0) return fail(PortFault::NoDevice, errno);
    if (!S_ISCHR(st.st_mode)) return fail(PortFault::NotTerminal, ENOTTY);

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
        const PortFault fault = OpenFaultOf(e);
        if (fault == PortFault::InUse) {  // held exclusively (TIOCEXCL) by another program
            if (auto other = findHolder(false)) m_openError.holder = *other;
            m_openError.exclusive = true;
        }
        return fail(fault, e);
    }
    if (!::isatty(fd)) {
        ::close(fd);
        return fail(PortFault::NotTerminal, ENOTTY);
    }
    // Every sign of another program: its flock, its UUCP lock file, its
    // descriptor seen in /proc.
    portlock::Holder holder;
    const std::string lockDir = m_strLockDir.empty() ? portlock::DefaultLockDir() : m_strLockDir;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        ::close(fd);
        if (e != EWOULDBLOCK) return fail(PortFault::Other, e);
        if (auto other = findHolder(false)) m_openError.holder = *other;
        return fail(PortFault::InUse, EBUSY);
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
    if (line->locks.Acquire(lockDir, names, holder) == portlock::UucpLock::Result::Held) {
        ::close(fd);
        m_openError.holder = holder;
        m_openError.lockFile = line->locks.HeldPath();
        return fail(PortFault::InUse, EBUSY);
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
        return fail(PortFault::InUse, EBUSY);
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        const int e = errno;
        ::close(fd);
        return fail(PortFault::NotTerminal, e);
    }
    line->fd = fd;
    ::tcflush(fd, TCIOFLUSH);
    if (const int e = line->Configure(m_settings)) {
        m_nReleaseError = line->Release();
        return fail(PortFault::SettingsRefused, e);
    }
    if (m_strReopen.empty()) {
        const std::string byId = FindByIdName(device.substr(device.rfind('/') + 1), DeviceRoots{"", m_strDevRoot});
        m_strReopen = path.rfind(m_strDevRoot + "/serial/by-id/", 0) == 0 || byId.empty() ? path : byId;
    }
    return line;
}
