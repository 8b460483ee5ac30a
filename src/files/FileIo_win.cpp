// The file calls on Windows: Win32 handles, never the C runtime's descriptors
// (whose default is text mode), names converted from UTF-8 to UTF-16 at each
// call, CREATE_NEW for exclusive creation (the runtime's "wbx" ignores the x),
// and LockFileEx on one byte far past any data as the writers' lock, so that
// it keeps other writers out and never a reader.
#include "files/FileIo.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstring>

namespace files {

const char* const kSeparators = "/\\";

namespace {

// The byte the writers lock: past the end of any file we write, so locking
// it never keeps a reader from the data (Windows' locks are mandatory).
constexpr DWORD kLockOffsetLow = 0xFFFFFFFEu;
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFFu;

int ErrnoOf(DWORD e) {
    switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DIRECTORY:
    case ERROR_NO_UNICODE_TRANSLATION:
    case ERROR_INVALID_PARAMETER: return EINVAL;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_INVALID_HANDLE: return EBADF;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA: return EPIPE;
    default: return EIO;
    }
}

void SetErrnoFromLastError() { errno = ErrnoOf(GetLastError()); }

HANDLE H(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

// UTF-8 to UTF-16; false (errno EINVAL) for bytes that are not UTF-8.
bool Wide(const std::string& s, std::wstring& out) {
    out.clear();
    if (s.empty()) return true;
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), nullptr, 0);
    if (n <= 0) {
        errno = EINVAL;
        return false;
    }
    out.resize(static_cast<std::size_t>(n));
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), out.data(), n);
    return true;
}

Kind KindOfAttributes(DWORD attr) {
    if (attr & FILE_ATTRIBUTE_DIRECTORY) return Kind::Directory;
    if (attr & FILE_ATTRIBUTE_DEVICE) return Kind::CharDevice;
    return Kind::Regular;
}

}  // namespace

File File::Open(const std::string& path, unsigned flags) {
    if (flags & kAppend) flags |= kWrite;
    if (flags & kExclusive) flags |= kCreate;
    std::wstring wide;
    if (!Wide(path, wide)) return {};
    if (wide.empty()) {
        errno = ENOENT;
        return {};
    }
    DWORD access = 0;
    if (flags & kRead) access |= GENERIC_READ;
    if (flags & kWrite) access |= GENERIC_WRITE;
    DWORD disposition = OPEN_EXISTING;
    if (flags & kExclusive)
        disposition = CREATE_NEW;
    else if ((flags & kCreate) && (flags & kTruncate))
        disposition = CREATE_ALWAYS;
    else if (flags & kCreate)
        disposition = OPEN_ALWAYS;
    else if (flags & kTruncate)
        disposition = TRUNCATE_EXISTING;
    // Shared as a POSIX file is: other writers (each takes the lock) and
    // readers alike, and it may be renamed or removed while open.
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE h = CreateFileW(wide.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        // A folder is refused as access denied; said as POSIX says it.
        const DWORD attr = e == ERROR_ACCESS_DENIED ? GetFileAttributesW(wide.c_str()) : INVALID_FILE_ATTRIBUTES;
        errno = attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) ? EISDIR : ErrnoOf(e);
        return {};
    }
    File f(reinterpret_cast<std::intptr_t>(h), flags);
    return f;
}

Kind File::GetKind() const {
    switch (GetFileType(H(m_h))) {
    case FILE_TYPE_DISK: return Kind::Regular;
    case FILE_TYPE_CHAR: return Kind::CharDevice;
    case FILE_TYPE_PIPE: return Kind::Fifo;
    default: return Kind::Other;
    }
}

std::int64_t File::Size() const {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(H(m_h), &size)) {
        SetErrnoFromLastError();
        return -1;
    }
    return size.QuadPart;
}

long long File::Read(void* p, std::size_t n) {
    DWORD got = 0;
    const DWORD want = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
    if (!ReadFile(H(m_h), p, want, &got, nullptr)) {
        if (GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_HANDLE_EOF) return 0;
        SetErrnoFromLastError();
        return -1;
    }
    return got;
}

long long File::ReadAt(void* p, std::size_t n, std::int64_t at) {
    // A positioned read moves a synchronous handle's position; it is put
    // back, so a later Read goes on where it was.
    LARGE_INTEGER zero{}, pos{};
    SetFilePointerEx(H(m_h), zero, &pos, FILE_CURRENT);
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(at) & 0xFFFFFFFFu);
    ov.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(at) >> 32);
    DWORD got = 0;
    const DWORD want = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
    const BOOL ok = ReadFile(H(m_h), p, want, &got, &ov);
    const DWORD e = GetLastError();
    SetFilePointerEx(H(m_h), pos, nullptr, FILE_BEGIN);
    if (!ok) {
        if (e == ERROR_HANDLE_EOF) return 0;
        errno = ErrnoOf(e);
        return -1;
    }
    return got;
}

long long File::Write(const void* p, std::size_t n) {
    const char* c = static_cast<const char*>(p);
    std::size_t done = 0;
    while (done < n) {
        const std::size_t left = n - done;
        const DWORD want = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD wrote = 0;
        BOOL ok;
        if (m_flags & kAppend) {
            // Offset all ones: at the end of the file, wherever that is now.
            OVERLAPPED ov{};
            ov.Offset = 0xFFFFFFFFu;
            ov.OffsetHigh = 0xFFFFFFFFu;
            ok = WriteFile(H(m_h), c + done, want, &wrote, &ov);
        } else {
            ok = WriteFile(H(m_h), c + done, want, &wrote, nullptr);
        }
        if (!ok) {
            SetErrnoFromLastError();
            return done > 0 ? static_cast<long long>(done) : -1;
        }
        if (wrote == 0) break;
        done += wrote;
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
    FILE_END_OF_FILE_INFO eof{};
    eof.EndOfFile.QuadPart = size;
    if (!SetFileInformationByHandle(H(m_h), FileEndOfFileInfo, &eof, sizeof eof)) {
        SetErrnoFromLastError();
        return false;
    }
    return true;
}

bool File::Lock() {
    OVERLAPPED ov{};
    ov.Offset = kLockOffsetLow;
    ov.OffsetHigh = kLockOffsetHigh;
    if (!LockFileEx(H(m_h), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &ov)) {
        SetErrnoFromLastError();
        return false;
    }
    return true;
}

void File::Unlock() {
    OVERLAPPED ov{};
    ov.Offset = kLockOffsetLow;
    ov.OffsetHigh = kLockOffsetHigh;
    UnlockFileEx(H(m_h), 0, 1, 0, &ov);
}

bool File::Close() {
    if (m_h == kNone) return true;
    const HANDLE h = H(m_h);
    m_h = kNone;
    if (!CloseHandle(h)) {
        SetErrnoFromLastError();
        return false;
    }
    return true;
}

std::FILE* File::ToStdio(const char* mode) {
    if (m_h == kNone) {
        errno = EBADF;
        return nullptr;
    }
    int oflags = _O_BINARY;
    if (std::strchr(mode, 'a')) oflags |= _O_APPEND;
    if (!std::strchr(mode, 'w') && !std::strchr(mode, 'a') && !std::strchr(mode, '+')) oflags |= _O_RDONLY;
    const int fd = _open_osfhandle(m_h, oflags);
    if (fd < 0) {
        Close();
        return nullptr;
    }
    m_h = kNone;  // the descriptor owns the handle now
    // Binary whatever the mode says: a "w" alone would be text mode here.
    std::string binary(mode);
    if (binary.find('b') == std::string::npos) binary += 'b';
    std::FILE* f = _fdopen(fd, binary.c_str());
    if (!f) _close(fd);
    return f;
}

Kind KindOf(const std::string& path) {
    std::wstring wide;
    if (!Wide(path, wide)) return Kind::Unknown;
    const DWORD attr = GetFileAttributesW(wide.c_str());
    if (attr == INVALID_FILE_ATTRIBUTES) {
        const DWORD e = GetLastError();
        errno = ErrnoOf(e);
        return errno == ENOENT ? Kind::Missing : Kind::Unknown;
    }
    return KindOfAttributes(attr);
}

int WriteAccess(const std::string& path) {
    std::wstring wide;
    if (!Wide(path, wide)) return EINVAL;
    const DWORD attr = GetFileAttributesW(wide.c_str());
    if (attr == INVALID_FILE_ATTRIBUTES) return ErrnoOf(GetLastError());
    if (attr & FILE_ATTRIBUTE_DIRECTORY) return 0;  // the folder's rights are known only at the file's creation
    if (attr & FILE_ATTRIBUTE_READONLY) return EACCES;
    // Opened for writing and closed at once: neither made nor emptied.
    const HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return ErrnoOf(GetLastError());
    CloseHandle(h);
    return 0;
}

bool Remove(const std::string& path) {
    std::wstring wide;
    if (!Wide(path, wide)) return false;
    if (!DeleteFileW(wide.c_str())) {
        SetErrnoFromLastError();
        return false;
    }
    return true;
}

}  // namespace files
