// The files the tools read and write, the same on every platform: bytes as
// they are (never a text mode: a 0x1A byte is data and "\n" stays one byte),
// names in UTF-8, exclusive creation that is exclusive, writes whole or
// failed, and an exclusive lock between the writers of one file.  Failures
// are errno values on every platform (the Windows back end maps its own codes
// onto them), so the messages read the same everywhere.
//
// FileIo_posix.cpp holds the POSIX calls, FileIo_win.cpp the Win32 ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace files {

enum Flags : unsigned {
    kRead = 1u << 0,
    kWrite = 1u << 1,
    kAppend = 1u << 2,     // every write goes to the end (implies kWrite)
    kCreate = 1u << 3,     // made if missing
    kTruncate = 1u << 4,   // emptied when opened
    kExclusive = 1u << 5,  // made new: fails with EEXIST when the name is taken (implies kCreate)
    kNoWait = 1u << 6,     // a FIFO without a partner neither blocks the open nor later writes
};

// The characters that end a folder's name in a path here ("/", and "\\" on Windows).
extern const char* const kSeparators;

// Unknown: it could not be looked at (errno says why).
enum class Kind : std::uint8_t { Missing, Regular, Directory, Fifo, CharDevice, BlockDevice, Socket, Other, Unknown };
// "a directory", "a FIFO", ...: the words for a file that is not a regular one.
const char* KindWords(Kind k);

class File {
public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Opens path (UTF-8) as flags say; an empty File with errno set when it cannot.
    static File Open(const std::string& path, unsigned flags);

    explicit operator bool() const { return m_h != kNone; }
    // What was opened: a regular file, a FIFO, a device ...
    Kind GetKind() const;
    // The size in bytes; -1 (errno set) when it cannot be read.
    std::int64_t Size() const;

    // Up to n bytes; the count read, 0 at the end, -1 (errno set) on failure.
    // Interrupted calls are retried.
    long long Read(void* p, std::size_t n);
    // Up to n bytes at offset at, without moving the file position.
    long long ReadAt(void* p, std::size_t n, std::int64_t at);
    // Writes n bytes: the count written, which is n unless the file system
    // took no more (a full disk); -1 (errno set) when nothing was written.
    long long Write(const void* p, std::size_t n);
    // All n bytes, or false with errno set (ENOSPC for a short write).
    bool WriteAll(const void* p, std::size_t n);
    // Cuts the file to size bytes.
    bool Truncate(std::int64_t size);
    // An exclusive lock against the other writers of the file, waited for;
    // advisory (readers are not kept out) on every platform.
    bool Lock();
    void Unlock();
    // Closes the file; false (errno set) when the last of it could not be
    // written.  Idempotent.
    bool Close();
    // Hands the open file to stdio as a binary stream (mode "wb", "ab", "rb"
    // ...); this File is empty afterwards.  Null (errno set) on failure, and
    // the file is closed.
    std::FILE* ToStdio(const char* mode);

private:
    static constexpr std::intptr_t kNone = -1;
    explicit File(std::intptr_t h, unsigned flags) : m_h(h), m_flags(flags) {}
    std::intptr_t m_h = kNone;  // a descriptor, or a Windows HANDLE
    unsigned m_flags = 0;
};

// What path names: Kind::Missing when nothing (errno ENOENT), Unknown with
// errno set when it cannot be looked at.
Kind KindOf(const std::string& path);
// 0 when this process may write to path (a file or a directory to make one
// in), else the errno saying why not.
int WriteAccess(const std::string& path);
// Writes bytes to path, made or emptied: "" when done, else "path: why".
std::string WriteWholeFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
// Removes the file; false (errno set) when it cannot.
bool Remove(const std::string& path);

}  // namespace files
