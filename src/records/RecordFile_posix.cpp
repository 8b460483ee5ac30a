#include "records/RecordFile.h"
#include "records/RecordWriter.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rec {

namespace {

class PosixRecordFile final : public RecordFile {
public:
    explicit PosixRecordFile(int fd) : m_fd(fd) {}
    ~PosixRecordFile() override { ::close(m_fd); }
    PosixRecordFile(const PosixRecordFile&) = delete;
    PosixRecordFile& operator=(const PosixRecordFile&) = delete;

    void Lock() override {
        while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    void Unlock() override { ::flock(m_fd, LOCK_UN); }
    std::int64_t Size() override {
        struct stat st {};
        return ::fstat(m_fd, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
    }
    std::int64_t ReadAt(char* p, std::size_t n, std::int64_t at) override {
        ssize_t r;
        do r = ::pread(m_fd, p, n, static_cast<off_t>(at));
        while (r < 0 && errno == EINTR);
        return r;
    }
    std::int64_t Append(const char* p, std::size_t n) override {
        std::size_t done = 0;
        while (done < n) {
            const ssize_t r = ::write(m_fd, p + done, n - done);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return done > 0 ? static_cast<std::int64_t>(done) : -1;
            if (r == 0) break;
            done += static_cast<std::size_t>(r);
        }
        return static_cast<std::int64_t>(done);
    }
    bool Truncate(std::int64_t size) override {
        int r;
        do r = ::ftruncate(m_fd, static_cast<off_t>(size));
        while (r != 0 && errno == EINTR);
        return r == 0;
    }

private:
    int m_fd;
};

}  // namespace

std::unique_ptr<RecordFile> OpenRecordFile(const std::string& path, RecordFile::Mode mode) {
    // Read and write: the header and the last byte are read back.  Every
    // write appends, so two writers never overwrite each other's rows.
    int flags = O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY;
    if (mode == RecordFile::Mode::Replace) flags |= O_TRUNC;
    if (mode == RecordFile::Mode::CreateNew) flags |= O_EXCL;
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) return nullptr;
    return std::make_unique<PosixRecordFile>(fd);
}

std::string NewRunId() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d%02d%02dT%02d%02d%02d-%ld", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<long>(::getpid()));
    return buf;
}

std::string HostName() {
    char buf[HOST_NAME_MAX + 1] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return {};
    return buf;
}

}  // namespace rec
