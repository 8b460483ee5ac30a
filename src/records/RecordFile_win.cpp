// The record writer's file on Windows: a Win32 handle (binary, UTF-8 name),
// every write at the end of the file, the writers' lock with LockFileEx; the
// writer's rules (whole rows or none on a full disk) are RecordWriter.cpp's.
#include "files/FileIo.h"
#include "records/RecordFile.h"
#include "records/RecordWriter.h"

#include <windows.h>

#include <cstdio>
#include <ctime>

namespace rec {

namespace {

class WinRecordFile final : public RecordFile {
public:
    explicit WinRecordFile(files::File file) : m_file(std::move(file)) {}

    void Lock() override { m_file.Lock(); }
    void Unlock() override { m_file.Unlock(); }
    std::int64_t Size() override { return m_file.Size(); }
    std::int64_t ReadAt(char* p, std::size_t n, std::int64_t at) override { return m_file.ReadAt(p, n, at); }
    std::int64_t Append(const char* p, std::size_t n) override { return m_file.Write(p, n); }
    bool Truncate(std::int64_t size) override { return m_file.Truncate(size); }

private:
    files::File m_file;
};

}  // namespace

std::unique_ptr<RecordFile> OpenRecordFile(const std::string& path, RecordFile::Mode mode) {
    unsigned flags = files::kRead | files::kAppend | files::kCreate;
    if (mode == RecordFile::Mode::Replace) flags |= files::kTruncate;
    if (mode == RecordFile::Mode::CreateNew) flags |= files::kExclusive;
    files::File file = files::File::Open(path, flags);
    if (!file) return nullptr;
    return std::make_unique<WinRecordFile>(std::move(file));
}

std::string NewRunId() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_s(&tm, &t);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d%02d%02dT%02d%02d%02d-%lu", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<unsigned long>(GetCurrentProcessId()));
    return buf;
}

std::string HostName() {
    wchar_t wide[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(wide, &n)) return {};
    char utf8[4 * (MAX_COMPUTERNAME_LENGTH + 1)] = {};
    const int len = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(n), utf8, sizeof utf8, nullptr, nullptr);
    return len > 0 ? std::string(utf8, static_cast<std::size_t>(len)) : std::string();
}

}  // namespace rec
