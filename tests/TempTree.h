// A temporary folder for tests that build small file trees (a fake sysfs, a
// fake /proc, a lock directory); removed with the object.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <system_error>

#include <unistd.h>

class TempTree {
public:
    TempTree() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "zantu_tree_XXXXXX").string();
        if (mkdtemp(tmpl.data())) m_root = tmpl;
    }
    ~TempTree() {
        std::error_code ec;
        if (!m_root.empty()) std::filesystem::remove_all(m_root, ec);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& Root() const { return m_root; }
    std::string Path(const std::string& rel) const { return m_root + "/" + rel; }
    bool MakeDir(const std::string& rel) const {
        std::error_code ec;
        std::filesystem::create_directories(Path(rel), ec);
        return !ec;
    }
    // A symbolic link at rel with the given target text (created with its folder).
    bool Link(const std::string& rel, const std::string& target) const {
        std::filesystem::path p(Path(rel));
        std::error_code ec;
        std::filesystem::create_directories(p.parent_path(), ec);
        return symlink(target.c_str(), p.c_str()) == 0;
    }
    bool WriteFile(const std::string& rel, const std::string& text) const {
        std::filesystem::path p(Path(rel));
        std::error_code ec;
        std::filesystem::create_directories(p.parent_path(), ec);
        return Write(p.string(), text);
    }
    static bool Write(const std::string& path, const std::string& text) {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f << text;
        return static_cast<bool>(f);
    }
    static std::string Read(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    static bool Exists(const std::string& path) {
        std::error_code ec;
        return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
    }

private:
    std::string m_root;
};
