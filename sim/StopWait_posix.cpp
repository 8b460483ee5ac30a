#include "StopWait.h"

#include <pthread.h>
#include <signal.h>

namespace zsim {

const char* const kPokeName = "SIGUSR1";
const char* const kDefaultLineWords = "a new pseudo-terminal (the path is printed) or on a device";

namespace {
sigset_t StopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    return set;
}
}  // namespace

// The signals are taken by sigwait; the simulator's thread inherits the mask.
void PrepareStopWait() {
    const sigset_t set = StopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void WaitForStop(const std::function<void()>& onPoke) {
    const sigset_t set = StopSet();
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) return;
        if (sig != SIGUSR1) return;
        onPoke();
    }
}

int StopWaitDone(int status) { return status; }

}  // namespace zsim
