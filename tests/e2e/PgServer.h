// A throw-away PostgreSQL server from Debian's packages, for the tests and
// benches that need a real one: initdb in a folder of its own, the server on
// a Unix socket in that folder only (no TCP, no fsync), as an ordinary user
// (uid 65534 when run as root), stopped and its folder removed at the end.
#pragma once

#include "RunProgram.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

class PgServer {
public:
    PgServer() = default;
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;
    ~PgServer() {
        if (m_started) RunProgram(AsServer({m_bin + "/pg_ctl", "-D", m_dir + "/data", "-m", "immediate", "-w", "stop"}));
        std::error_code ec;
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
    }

    // The server programs' folder; "" when PostgreSQL is not installed.
    static std::string Bin() {
        for (const char* v : {"17", "16", "15", "14", "13"}) {
            const std::string d = std::string("/usr/lib/postgresql/") + v + "/bin";
            if (std::filesystem::exists(d + "/initdb")) return d;
        }
        return {};
    }

    // Makes and starts the server with an empty database "results"; false
    // with *why when it cannot.
    bool Start(std::string* why) {
        m_bin = Bin();
        if (m_bin.empty()) return Fail(why, "no PostgreSQL server installed");
        std::string t = (std::filesystem::temp_directory_path() / "zantu_pg_XXXXXX").string();
        if (!::mkdtemp(t.data())) return Fail(why, "cannot make a temporary folder");
        m_dir = t;
        if (::geteuid() == 0 && ::chown(m_dir.c_str(), 65534, 65534) != 0)
            return Fail(why, "cannot hand " + m_dir + " to the server's user");
        const RunOptions slow{{}, std::chrono::seconds(120), false, {}, {}};
        const RunResult init = RunProgram(
            AsServer({m_bin + "/initdb", "-D", m_dir + "/data", "-A", "trust", "-U", "zantu", "--no-sync"}), slow);
        if (init.exitCode != 0) return Fail(why, "initdb: " + init.err);
        const RunResult start =
            RunProgram(AsServer({m_bin + "/pg_ctl", "-D", m_dir + "/data", "-l", m_dir + "/log", "-w", "-o",
                                 "-c listen_addresses= -c unix_socket_directories=" + m_dir + " -c fsync=off", "start"}),
                       slow);
        if (start.exitCode != 0) return Fail(why, "pg_ctl start: " + start.err + start.out);
        m_started = true;
        // createdb lives with the server's programs or with the client's.
        for (const std::string& createdb : {m_bin + "/createdb", std::string("createdb")})
            if (RunProgram(AsServer({createdb, "-h", m_dir, "-U", "zantu", "results"})).exitCode == 0) return true;
        return Fail(why, "createdb failed");
    }

    const std::string& Dir() const { return m_dir; }
    std::string Url() const { return "postgresql:///results?host=" + m_dir + "&user=zantu"; }

private:
    // The server's commands, as the server's user.
    static std::vector<std::string> AsServer(std::vector<std::string> argv) {
        if (::geteuid() == 0)
            argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        return argv;
    }
    static bool Fail(std::string* why, const std::string& what) {
        if (why) *why = what;
        return false;
    }

    std::string m_bin, m_dir;
    bool m_started = false;
};
