#include "files/FileIo.h"

#include <cerrno>
#include <cstring>

namespace files {

File::~File() { Close(); }

File::File(File&& other) noexcept : m_h(other.m_h), m_flags(other.m_flags) { other.m_h = kNone; }

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        m_h = other.m_h;
        m_flags = other.m_flags;
        other.m_h = kNone;
    }
    return *this;
}

const char* KindWords(Kind k) {
    switch (k) {
    case Kind::Missing: return "missing";
    case Kind::Regular: return "a regular file";
    case Kind::Directory: return "a directory";
    case Kind::Fifo: return "a FIFO";
    case Kind::CharDevice: return "a character device";
    case Kind::BlockDevice: return "a block device";
    case Kind::Socket: return "a socket";
    case Kind::Other:
    case Kind::Unknown: break;
    }
    return "not a regular file";
}

std::string WriteWholeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    File f = File::Open(path, kWrite | kCreate | kTruncate);
    if (!f) return path + ": " + std::strerror(errno);
    if (!f.WriteAll(bytes.data(), bytes.size())) {
        const int e = errno;
        f.Close();
        return path + ": " + std::strerror(e);
    }
    if (!f.Close()) return path + ": " + std::strerror(errno);
    return {};
}

}  // namespace files
