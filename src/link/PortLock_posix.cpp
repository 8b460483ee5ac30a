#include "link/PortLock.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace portlock {

namespace {

constexpr std::size_t kMaxLockFile = 64;  // a lock file longer than this is not one we understand

bool AllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// Reads at most max bytes of a small file; nothing when it cannot be opened.
std::optional<std::string> ReadSmallFile(const std::string& path, std::size_t max) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return std::nullopt;
    std::string out(max, '\0');
    std::size_t got = 0;
    while (got < max) {
        const ssize_t r = ::read(fd, out.data() + got, max - got);
        if (r > 0) {
            got += static_cast<std::size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        break;
    }
    ::close(fd);
    out.resize(got);
    return out;
}

}  // namespace

std::string DefaultLockDir() {
    struct stat st {};
    if (::stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode)) return "/run/lock";
    return "/var/lock";
}

std::string LockFileName(std::string_view dev) {
    std::string rest;
    if (dev.substr(0, 5) == "/dev/" && dev.size() > 5) {
        rest = std::string(dev.substr(5));
    } else {
        const auto slash = dev.rfind('/');
        rest = std::string(slash == std::string_view::npos ? dev : dev.substr(slash + 1));
    }
    for (char& c : rest)
        if (c == '/') c = '_';
    return "LCK.." + rest;
}

std::string FormatLockPid(int pid) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%10d\n", pid);
    return buf;
}

int ParseLockPid(std::string_view s) {
    bool text = true;  // printable text (or newlines): the ASCII form, right or wrong
    for (char c : s)
        if (!((c >= 0x20 && c < 0x7F) || c == '\n')) text = false;
    if (!text) {
        if (s.size() != 4) return 0;
        // The old binary form: a native int.
        int pid = 0;
        std::memcpy(&pid, s.data(), sizeof pid);
        return pid > 0 ? pid : 0;
    }
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    std::size_t j = i;
    while (j < s.size() && s[j] >= '0' && s[j] <= '9') ++j;
    if (j == i || j - i > 9) return 0;
    const std::string_view tail = s.substr(j);
    if (!(tail.empty() || tail == "\n")) return 0;
    int pid = 0;
    for (std::size_t k = i; k < j; ++k) pid = pid * 10 + (s[k] - '0');
    return pid;
}

bool ProcessAlive(int pid) {
    if (pid <= 0) return false;
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

std::string ProcessName(int pid, const std::string& procRoot) {
    auto s = ReadSmallFile(procRoot + "/" + std::to_string(pid) + "/comm", 64);
    if (!s) return {};
    std::string name;
    for (char c : *s) {
        if (c == '\n') break;
        name.push_back(static_cast<unsigned char>(c) < 0x20 ? '?' : c);
    }
    return name;
}

UucpLock::Result UucpLock::Acquire(const std::string& dir, const std::string& dev, Holder& holder) {
    Release();
    m_nError = 0;
    const std::string path = dir + "/" + LockFileName(dev);
    m_lastPath = path;
    // One more try after removing a stale lock.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0) {
            const std::string text = FormatLockPid(static_cast<int>(::getpid()));
            ::fchmod(fd, 0644);  // readable by every program that checks it, whatever the umask
            const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
            ::close(fd);
            if (!ok) {
                m_nError = errno ? errno : EIO;
                ::unlink(path.c_str());
                return Result::NoLock;
            }
            m_path = path;
            return Result::Taken;
        }
        if (errno != EEXIST) {
            m_nError = errno;
            return Result::NoLock;
        }
        const auto contents = ReadSmallFile(path, kMaxLockFile);
        const int pid = contents ? ParseLockPid(*contents) : 0;
        if (pid == 0 || ProcessAlive(pid)) {
            // Held by a live process, or a file whose owner cannot be told:
            // the port is taken as in use (the lock file's path says which).
            holder.pid = pid;
            holder.name = pid ? ProcessName(pid) : std::string();
            return Result::Held;
        }
        // Stale: its process is gone.
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            m_nError = errno;  // for instance another user's lock in a sticky directory
            return Result::NoLock;
        }
    }
    m_nError = EEXIST;  // recreated by someone else between our tries
    holder = {};
    return Result::Held;
}

void UucpLock::Release() {
    if (m_path.empty()) return;
    const auto contents = ReadSmallFile(m_path, kMaxLockFile);
    if (contents && ParseLockPid(*contents) == static_cast<int>(::getpid())) ::unlink(m_path.c_str());
    m_path.clear();
}

UucpLock::Result UucpLockSet::Acquire(const std::string& dir, const std::vector<std::string>& names,
                                      Holder& holder) {
    Release();
    m_heldPath.clear();
    std::vector<std::string> files;
    for (const std::string& name : names) {
        const std::string file = LockFileName(name);
        bool seen = false;
        for (const std::string& f : files) seen = seen || f == file;
        if (seen) continue;
        files.push_back(file);
        auto lock = std::make_unique<UucpLock>();
        const UucpLock::Result r = lock->Acquire(dir, name, holder);
        if (r == UucpLock::Result::Held) {
            m_heldPath = lock->LastPath();
            Release();
            return r;
        }
        if (r == UucpLock::Result::Taken) m_locks.push_back(std::move(lock));
    }
    return m_locks.empty() ? UucpLock::Result::NoLock : UucpLock::Result::Taken;
}

void UucpLockSet::Release() {
    for (auto& lock : m_locks) lock->Release();
    m_locks.clear();
}

std::vector<std::string> UucpLockSet::Paths() const {
    std::vector<std::string> out;
    for (const auto& lock : m_locks) out.push_back(lock->LastPath());
    return out;
}

bool HasOpen(int pid, const std::string& dev, const std::string& procRoot) {
    if (pid <= 0) return false;
    const std::string fdDir = procRoot + "/" + std::to_string(pid) + "/fd";
    DIR* fds = ::opendir(fdDir.c_str());
    if (!fds) return false;  // another user's process, or gone meanwhile
    bool found = false;
    char link[4096];
    while (const dirent* f = ::readdir(fds)) {
        if (f->d_name[0] == '.') continue;
        const std::string entry = fdDir + "/" + f->d_name;
        const ssize_t n = ::readlink(entry.c_str(), link, sizeof link - 1);
        if (n > 0 && std::string_view(link, static_cast<std::size_t>(n)) == dev) {
            found = true;
            break;
        }
    }
    ::closedir(fds);
    return found;
}

std::optional<Holder> FindOtherHolder(const std::string& dev, const std::string& procRoot, int selfPid) {
    if (selfPid < 0) selfPid = static_cast<int>(::getpid());
    DIR* proc = ::opendir(procRoot.c_str());
    if (!proc) return std::nullopt;
    std::optional<Holder> found;
    while (!found) {
        const dirent* e = ::readdir(proc);
        if (!e) break;
        if (!AllDigits(e->d_name) || std::strlen(e->d_name) > 9) continue;
        const int pid = std::atoi(e->d_name);
        if (pid == selfPid) continue;
        if (HasOpen(pid, dev, procRoot)) found = Holder{pid, ProcessName(pid, procRoot)};
    }
    ::closedir(proc);
    return found;
}

}  // namespace portlock
