// Runs a program as a child process with its standard streams on pipes, for
// the tests that check a built program's output and exit status.  The run is
// bounded in real time: a child still running at the limit is killed.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

struct RunResult {
    int exitCode = -1;  // -1: ended by a signal or killed at the limit
    bool timedOut = false;
    std::string out, err;
    std::chrono::milliseconds elapsed{0};
};

struct RunOptions {
    std::string input;  // written to standard input, which is then closed
    std::chrono::milliseconds limit = std::chrono::seconds(60);
    bool asNobody = false;  // as root: run as user and group 65534 without groups
    std::string dir;        // the child's working folder; "" for this process's
    // Called about every 10 ms while the child runs, with its pid and the
    // standard output so far.
    std::function<void(pid_t, const std::string& out)> onTick;
};

inline RunResult RunProgram(std::vector<std::string> argv, const RunOptions& o = {}) {
    RunResult r;
    if (o.asNobody && ::geteuid() == 0)
        argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        r.err = "pipe failed";
        return r;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    if (!o.dir.empty()) posix_spawn_file_actions_addchdir_np(&fa, o.dir.c_str());
    // The child has no controlling terminal of this test's: a new session.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, args[0], &fa, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(in[1]);
        ::close(out[0]);
        ::close(err[0]);
        r.err = std::string("spawn failed: ") + std::strerror(rc);
        return r;
    }
    if (!o.input.empty()) {
        [[maybe_unused]] ssize_t w = ::write(in[1], o.input.data(), o.input.size());
    }
    ::close(in[1]);

    int fds[2] = {out[0], err[0]};
    std::string* sinks[2] = {&r.out, &r.err};
    bool open[2] = {true, true};
    while (open[0] || open[1]) {
        if (std::chrono::steady_clock::now() - start > o.limit) {
            ::kill(pid, SIGKILL);
            r.timedOut = true;
            break;
        }
        pollfd p[2];
        int n = 0;
        int which[2];
        for (int i = 0; i < 2; ++i)
            if (open[i]) {
                p[n] = {fds[i], POLLIN, 0};
                which[n++] = i;
            }
        ::poll(p, static_cast<nfds_t>(n), 10);
        for (int k = 0; k < n; ++k) {
            if (!(p[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            const ssize_t got = ::read(p[k].fd, buf, sizeof buf);
            if (got > 0)
                sinks[which[k]]->append(buf, static_cast<std::size_t>(got));
            else if (got == 0 || errno != EINTR)
                open[which[k]] = false;
        }
        if (o.onTick) o.onTick(pid, r.out);
    }
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    if (WIFEXITED(status) && !r.timedOut) r.exitCode = WEXITSTATUS(status);
    return r;
}
