#include "StopWait.h"

#include <windows.h>

namespace zsim {

const char* const kPokeName = "Ctrl+Break";
const char* const kDefaultLineWords = "a COM port: --device COM2 (Windows has no pseudo-terminals)";

namespace {

HANDLE g_stopEvent = nullptr;  // set: end
HANDLE g_pokeEvent = nullptr;  // auto-reset: one poke
HANDLE g_doneEvent = nullptr;  // set once the simulator has stopped

BOOL WINAPI OnConsoleEvent(DWORD type) {
    if (type == CTRL_BREAK_EVENT) {
        SetEvent(g_pokeEvent);
        return TRUE;
    }
    SetEvent(g_stopEvent);
    if (type == CTRL_C_EVENT) return TRUE;
    // The window is closing: the process ends when this returns, so wait
    // (Windows allows about 5 s) for the simulator to stop and save.
    WaitForSingleObject(g_doneEvent, 4500);
    return TRUE;
}

}  // namespace

void PrepareStopWait() {
    g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_pokeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_doneEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void WaitForStop(const std::function<void()>& onPoke) {
    const HANDLE handles[2] = {g_stopEvent, g_pokeEvent};
    for (;;) {
        const DWORD r = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (r != WAIT_OBJECT_0 + 1) break;
        onPoke();
    }
}

int StopWaitDone(int status) {
    if (g_doneEvent) SetEvent(g_doneEvent);
    return status;
}

}  // namespace zsim
