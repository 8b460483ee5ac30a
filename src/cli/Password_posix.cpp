#include "cli/Password.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace cli {

namespace {

// Reads one line from fd, without the "\n" and a "\r" before it; reading
// stops after kMaxPasswordLine bytes.  Returns false on a read error (errno set); an
// interrupted read returns false with errno EINTR when stop is set.
bool ReadLine(int fd, std::string& line, const std::atomic<int>* stop) {
    line.clear();
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(fd, &c, 1);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR && !(stop && stop->load())) continue;
            return false;
        }
        if (c == '\n') break;
        if (line.size() == kMaxPasswordLine) break;  // no password is this long: read no further
        line.push_back(c);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

}  // namespace

PasswordStatus ReadPasswordFile(const std::string& path, std::string& password, std::string& why,
                                const std::atomic<int>& stop) {
    int fd = 0;
    if (path != "-") {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            why = "cannot read the password file " + path + ": " + std::strerror(errno);
            return PasswordStatus::NoFile;
        }
    }
    const bool ok = ReadLine(fd, password, &stop);
    const int err = errno;
    if (fd != 0) ::close(fd);
    if (!ok && err == EINTR) return PasswordStatus::Interrupted;
    if (!ok) {
        why = "cannot read the password file " + path + ": " + std::strerror(err);
        return PasswordStatus::NoFile;
    }
    return PasswordStatus::Ok;
}

PasswordStatus AskPassword(std::string& password, std::string& why, const std::atomic<int>& stop) {
    const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        why = "no terminal to ask the service password on (" + std::string(std::strerror(errno)) +
              "); give --password-file FILE, or --password-file - for standard input";
        return PasswordStatus::NoTerminal;
    }
    termios saved{};
    const bool haveAttr = ::tcgetattr(fd, &saved) == 0;
    if (haveAttr) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    static constexpr char kPrompt[] = "Enter Password: ";
    [[maybe_unused]] ssize_t w = ::write(fd, kPrompt, sizeof kPrompt - 1);
    const bool ok = ReadLine(fd, password, &stop);
    const int err = errno;
    if (haveAttr) ::tcsetattr(fd, TCSAFLUSH, &saved);
    if (!ok && err == EINTR) {
        w = ::write(fd, "\n", 1);
        ::close(fd);
        return PasswordStatus::Interrupted;
    }
    ::close(fd);
    if (!ok) {
        why = std::string("cannot read the password from the terminal: ") + std::strerror(err);
        return PasswordStatus::NoTerminal;
    }
    return PasswordStatus::Ok;
}

}  // namespace cli
