// The simulator's line on POSIX: a pseudo-terminal's master or a serial
// device, non-blocking, waited on with poll beside an eventfd for wakes.
#include "SimLine.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace zsim {

namespace {

std::string ErrnoText(const std::string& what) {
    const int e = errno;
    return what + ": " + std::strerror(e);
}

bool MakeRaw(int fd, std::string* error) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        *error = ErrnoText("tcgetattr");
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD | CS8;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        *error = ErrnoText("tcsetattr");
        return false;
    }
    return true;
}

class FdLine final : public SimLine {
public:
    FdLine(int fd, int wakeFd) : m_fd(fd), m_wakeFd(wakeFd) {}
    ~FdLine() override {
        Close();
        ::close(m_wakeFd);
    }

    long WaitRead(std::uint8_t* p, std::size_t max, int timeoutMs, bool watch) override {
        watch = watch && m_fd >= 0;
        pollfd fds[2] = {{m_wakeFd, POLLIN, 0}, {m_fd, POLLIN, 0}};
        const int r = ::poll(fds, watch ? 2 : 1, timeoutMs);
        if (r < 0 && errno != EINTR) return kNoPeer;
        if (r <= 0) return 0;
        if (fds[0].revents & POLLIN) {
            std::uint64_t v = 0;
            [[maybe_unused]] const ssize_t n = ::read(m_wakeFd, &v, sizeof v);
        }
        if (!watch || !fds[1].revents) return 0;
        const ssize_t n = (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) ? ::read(m_fd, p, max) : 0;
        if (n > 0) return static_cast<long>(n);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
        // Nobody has the slave open (EIO / hang-up on a pty master).
        return kNoPeer;
    }

    long Write(const std::uint8_t* p, std::size_t n) override {
        if (m_fd < 0) return -1;
        const ssize_t w = ::write(m_fd, p, n);
        if (w >= 0) return static_cast<long>(w);
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    }

    void Wake() override {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t r = ::write(m_wakeFd, &one, sizeof one);
    }

    void Close() override {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
    int m_wakeFd;
};

std::unique_ptr<SimLine> WithWake(int fd, std::string* error) {
    const int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        *error = ErrnoText("eventfd");
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<FdLine>(fd, wakeFd);
}

}  // namespace

std::unique_ptr<SimLine> OpenPtyLine(std::string* path, std::string* error) {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        *error = ErrnoText("openpty");
        return nullptr;
    }
    char name[256] = {};
    if (ttyname_r(slave, name, sizeof name) != 0 && ptsname_r(master, name, sizeof name) != 0) {
        *error = ErrnoText("ptsname");
        ::close(slave);
        ::close(master);
        return nullptr;
    }
    const bool raw = MakeRaw(slave, error);
    // The slave is not kept open: the console opens it exclusively.
    ::close(slave);
    if (!raw) {
        ::close(master);
        return nullptr;
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    *path = name;
    return WithWake(master, error);
}

std::unique_ptr<SimLine> OpenDeviceLine(const std::string& path, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = ErrnoText(path);
        return nullptr;
    }
    if (!MakeRaw(fd, error)) {
        ::close(fd);
        return nullptr;
    }
    ::tcflush(fd, TCIOFLUSH);
    return WithWake(fd, error);
}

}  // namespace zsim
