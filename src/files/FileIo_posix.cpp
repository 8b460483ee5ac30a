#include "files/FileIo.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace files {

const char* const kSeparators = "/";

namespace {

Kind KindOfMode(mode_t m) {
    if (S_ISREG(m)) return Kind::Regular;
    if (S_ISDIR(m)) return Kind::Directory;
    if (S_ISFIFO(m)) return Kind::Fifo;
    if (S_ISCHR(m)) return Kind::CharDevice;
    if (S_ISBLK(m)) return Kind::BlockDevice;
    if (S_ISSOCK(m)) return Kind::Socket;
    return Kind::Other;
}

int Fd(std::intptr_t h) { return static_cast<int>(h); }

}  // namespace

File File::Open(const std::string& path, unsigned flags) {
    if (flags & kAppend) flags |= kWrite;
    if (flags & kExclusive) flags |= kCreate;
    int o = O_CLOEXEC | O_NOCTTY;
    const bool r = flags & kRead, w = flags & kWrite;
    o |= r && w ? O_RDWR : w ? O_WRONLY : O_RDONLY;
    if (flags & kAppend) o |= O_APPEND;
    if (flags & kCreate) o |= O_CREAT;
    if (flags & kTruncate) o |= O_TRUNC;
    if (flags & kExclusive) o |= O_EXCL;
    if (flags & kNoWait) o |= O_NONBLOCK;
    int fd;
    do fd = ::open(path.c_str(), o, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return {};
    File f(fd, flags);
    // Waiting means nothing for a regular file; not waiting is only for a
    // pipe, so its writes fail at once when nobody reads it.
    if ((flags & kNoWait) && f.GetKind() == Kind::Regular) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return f;
}

Kind File::GetKind() const {
    struct stat st {};
    if (::fstat(Fd(m_h), &st) != 0) return Kind::Other;
    return KindOfMode(st.st_mode);
}

std::int64_t File::Size() const {
    struct stat st {};
    return ::fstat(Fd(m_h), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

long long File::Read(void* p, std::size_t n) {
    ssize_t r;
    do r = ::read(Fd(m_h), p, n);
    while (r < 0 && errno == EINTR);
    return r;
}

long long File::ReadAt(void* p, std::size_t n, std::int64_t at) {
    ssize_t r;
    do r = ::pread(Fd(m_h), p, n, static_cast<off_t>(at));
    while (r < 0 && errno == EINTR);
    return r;
}

long long File::Write(const void* p, std::size_t n) {
    const char* c = static_cast<const char*>(p);
    std::size_t done = 0;
    while (done < n) {
        const ssize_t r = ::write(Fd(m_h), c + done, n - done);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return done > 0 ? static_cast<long long>(done) : -1;
        if (r == 0) break;
        done += static_cast<std::size_t>(r);
    }
    return static_cast<long long>(done);
}

bool File::WriteAll(const void* p, std::size_t n) {
    errno = 0;
    const long long w = Write(p, n);
    if (w == static_cast<long long>(n)) return true;
    if (errno == 0) errno = ENOSPC;  // the file system took no more
    return false;
}

bool File::Truncate(std::int64_t size) {
    int r;
    do r = ::ftruncate(Fd(m_h), static_cast<off_t>(size));
    while (r != 0 && errno == EINTR);
    return r == 0;
}

bool File::Lock() {
    int r;
    do r = ::flock(Fd(m_h), LOCK_EX);
    while (r != 0 && errno == EINTR);
    return r == 0;
}

void File::Unlock() { ::flock(Fd(m_h), LOCK_UN); }

bool File::Close() {
    if (m_h == kNone) return true;
    const int fd = Fd(m_h);
    m_h = kNone;
    return ::close(fd) == 0;
}

std::FILE* File::ToStdio(const char* mode) {
    if (m_h == kNone) {
        errno = EBADF;
        return nullptr;
    }
    std::FILE* f = ::fdopen(Fd(m_h), mode);
    if (!f) {
        Close();
        return nullptr;
    }
    m_h = kNone;
    return f;
}

Kind KindOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return errno == ENOENT ? Kind::Missing : Kind::Unknown;
    return KindOfMode(st.st_mode);
}

int WriteAccess(const std::string& path) {
    const Kind k = KindOf(path);
    return ::access(path.c_str(), k == Kind::Directory ? W_OK | X_OK : W_OK) == 0 ? 0 : errno;
}

bool Remove(const std::string& path) { return ::unlink(path.c_str()) == 0; }

}  // namespace files
