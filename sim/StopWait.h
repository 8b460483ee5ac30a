// How zantu-sim waits for its end: SIGINT/SIGTERM on POSIX (SIGUSR1 pokes
// it), Ctrl+C or the console window closed on Windows (Ctrl+Break pokes it).
#pragma once

#include <functional>

namespace zsim {

// The name of what pokes the simulator, for its help ("SIGUSR1").
extern const char* const kPokeName;
// Where the simulator plays unless --device says otherwise, for its help.
extern const char* const kDefaultLineWords;
// Before any thread starts: the stopping signals are then taken only by
// WaitForStop (nothing to do on Windows).
void PrepareStopWait();
// Returns once the program is asked to end; calls onPoke at each poke.
void WaitForStop(const std::function<void()>& onPoke);
// Called with the exit status as main returns: a console window being closed
// waits for it, so the flash is saved before the process ends.
int StopWaitDone(int status);

}  // namespace zsim
