// A temporary folder of a test's own, for the files it writes (a HEX file, a
// fake sysfs, a fake /proc, a lock directory); removed with the object.  Write
// Prog makes the chosen file's folder the current directory: a current
// directory inside the folder is given back first, so later tests of the same
// process do not run in a removed folder.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <system_error>

#include "TestPlatform.h"

class TempTree {
public:
    TempTree() {
        m_root = testplat::MakeTempDir("zantu_tree_");
        std::error_code ec;
        m_cwd = std::filesystem::current_path(ec);
    }
    ~TempTree() {
        std::error_code ec;
        if (m_root.empty()) return;
        const std::string cwd = std::filesystem::current_path(ec).generic_string();
        if (!ec && (cwd == m_root || cwd.rfind(m_root + "/", 0) == 0)) std::filesystem::current_path(m_cwd, ec);
        std::filesystem::remove_all(m_root, ec);
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
        std::filesystem::create_symlink(target, p, ec);
        return !ec;
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
    std::filesystem::path m_cwd;  // the current directory when the folder was made
};
