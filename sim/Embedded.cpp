#include "Embedded.h"

#include "files/FileIo.h"

#include <cerrno>
#include <cstring>

namespace zsim {

std::string FlashFileProblem(const std::string& path) {
    if (path.empty()) return "no file name";
    const files::Kind kind = files::KindOf(path);
    if (kind == files::Kind::Unknown) return path + ": " + std::strerror(errno);
    if (kind != files::Kind::Missing) {
        if (kind != files::Kind::Regular) return path + " is not a regular file";
        if (const int e = files::WriteAccess(path)) return path + ": " + std::strerror(e);
        return {};
    }
    const std::size_t slash = path.find_last_of(files::kSeparators);
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
    const files::Kind dirKind = files::KindOf(dir);
    if (dirKind != files::Kind::Directory) {
        const int e = dirKind == files::Kind::Missing ? ENOENT : dirKind == files::Kind::Unknown ? errno : ENOTDIR;
        return path + ": " + dir + ": " + std::strerror(e);
    }
    if (const int e = files::WriteAccess(dir)) return path + ": " + dir + ": " + std::strerror(e);
    return {};
}

std::string WriteFlashFile(const std::string& path, const std::vector<std::uint8_t>& flash) {
    return files::WriteWholeFile(path, flash);
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
    const std::string path = StartOwnLine(*m_sim);
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
