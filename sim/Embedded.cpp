#include "Embedded.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zsim {

std::string FlashFileProblem(const std::string& path) {
    if (path.empty()) return "no file name";
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) return path + " is not a regular file";
        if (::access(path.c_str(), W_OK) != 0) return path + ": " + std::strerror(errno);
        return {};
    }
    if (errno != ENOENT) return path + ": " + std::strerror(errno);
    const std::size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (::access(dir.c_str(), W_OK | X_OK) != 0) return path + ": " + dir + ": " + std::strerror(errno);
    return {};
}

std::string WriteFlashFile(const std::string& path, const std::vector<std::uint8_t>& flash) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) return path + ": " + std::strerror(errno);
    std::size_t done = 0;
    while (done < flash.size()) {
        const ssize_t n = ::write(fd, flash.data() + done, flash.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int e = n < 0 ? errno : EIO;
            ::close(fd);
            return path + ": " + std::strerror(e);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) return path + ": " + std::strerror(errno);
    return {};
}

EmbeddedModule::EmbeddedModule(const EmbeddedOptions& options) : m_opt(options) {
    SimOptions so;
    so.pace = options.timeScale > 0.0;  // the line's 9600-baud timing and the module's working times
    so.timeScale = options.timeScale > 0.0 ? options.timeScale : 1.0;
    m_sim = std::make_unique<Simulator>(so);
    m_sim->SetFaults(options.faults);
}

EmbeddedModule::~EmbeddedModule() { m_sim->Stop(); }

std::string EmbeddedModule::Start() {
    if (!m_opt.saveFlash.empty()) {
        m_error = FlashFileProblem(m_opt.saveFlash);
        if (!m_error.empty()) return {};
    }
    const std::string path = m_sim->StartOnPty();
    if (path.empty()) m_error = m_sim->LastError();
    return path;
}

bool EmbeddedModule::Finish() {
    m_sim->Stop();
    if (m_opt.saveFlash.empty()) return true;
    if (!m_finished) {
        m_finished = true;
        m_saveError = WriteFlashFile(m_opt.saveFlash, m_sim->Flash());
        if (!m_saveError.empty()) m_error = m_saveError;
    }
    return m_saveError.empty();
}

}  // namespace zsim
