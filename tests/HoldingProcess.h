// A child process that holds a device open (without locks) until the object
// goes; the other program of the "in use" tests.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

struct HoldingProcess {
    pid_t pid = -1;  // -1: the child could not open the path
    int release = -1;
    explicit HoldingProcess(const std::string& path) {
        int ready[2], hold[2];
        if (pipe(ready) != 0) return;
        if (pipe(hold) != 0) {
            close(ready[0]);
            close(ready[1]);
            return;
        }
        pid = fork();
        if (pid == 0) {  // only async-signal-safe calls here
            close(hold[1]);
            close(ready[0]);
            const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            char c = fd >= 0 ? 'y' : 'n';
            (void)!write(ready[1], &c, 1);
            (void)!read(hold[0], &c, 1);  // until the parent closes its end
            _exit(0);
        }
        close(ready[1]);
        close(hold[0]);
        release = hold[1];
        char c = 0;
        if (pid > 0 && (read(ready[0], &c, 1) != 1 || c != 'y')) {
            close(release);
            release = -1;
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
        close(ready[0]);
    }
    ~HoldingProcess() {
        if (release >= 0) close(release);
        if (pid > 0) waitpid(pid, nullptr, 0);
    }
    HoldingProcess(const HoldingProcess&) = delete;
    HoldingProcess& operator=(const HoldingProcess&) = delete;
};
