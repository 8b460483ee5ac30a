// The file calls of a record writer, behind one small interface: the writer's
// rules (a header once, whole rows or none, a torn last line noticed) are
// kept in RecordWriter.cpp and tested on a file that runs out of room; the
// platform's calls are in RecordFile_posix.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace rec {

class RecordFile {
public:
    enum class Mode : std::uint8_t {
        Append,     // add to the file, made if missing
        Replace,    // a new file in place of any old one
        CreateNew,  // a new file; fails if the name is taken
    };
    virtual ~RecordFile() = default;
    // An exclusive lock against the other writers of the file (advisory).
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    // The file's size; -1 (errno set) when it cannot be read.
    virtual std::int64_t Size() = 0;
    // Reads n bytes at offset at; the bytes read, -1 (errno set) on failure.
    virtual std::int64_t ReadAt(char* p, std::size_t n, std::int64_t at) = 0;
    // Appends at the file's end; the bytes written (fewer when the file
    // system took no more), -1 (errno set) on failure.  EINTR is retried.
    virtual std::int64_t Append(const char* p, std::size_t n) = 0;
    // Cuts the file back to size bytes.
    virtual bool Truncate(std::int64_t size) = 0;
};

// Opens path for writing records; null with errno set when it cannot.
std::unique_ptr<RecordFile> OpenRecordFile(const std::string& path, RecordFile::Mode mode);

}  // namespace rec
