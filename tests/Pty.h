// A pseudo-terminal pair for the channel tests: the test keeps the master,
// the slave's path stands in for a serial device (raw, not held open).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <string>

struct Pty {
    int master = -1;
    std::string slave;  // "" when no pseudo-terminal could be made
    Pty() {
        int s = -1;
        char name[128];
        if (openpty(&master, &s, name, nullptr, nullptr) != 0) return;
        ::fcntl(master, F_SETFD, FD_CLOEXEC);  // a program a test starts holds no other test's line
        slave = name;
        termios t{};
        tcgetattr(s, &t);
        cfmakeraw(&t);
        tcsetattr(s, TCSANOW, &t);
        ::close(s);
    }
    ~Pty() { Close(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    void Close() {
        if (master >= 0) ::close(master);
        master = -1;
    }
    // 1 when bytes reached the far end and wait there unread, else 0.
    std::size_t Pending() const {
        pollfd p{master, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0 ? 1 : 0;
    }
};
