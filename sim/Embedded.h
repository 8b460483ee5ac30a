// The simulated module a front-end runs inside itself (--simulate): on a new
// pseudo-terminal on Linux, on the in-process line on Windows, at the module's pace times a scale, with faults on request,
// and its flash written to a file when it stops, so that what was flashed can
// be compared with the image without a module.
#pragma once

#include "Simulator.h"

#include <memory>
#include <string>

namespace zsim {

struct EmbeddedOptions {
    double timeScale = 1.0;  // the module's line and working times times this; 0: answers at once
    std::string saveFlash;   // where Finish writes the 40960-byte flash ("" nowhere)
    Faults faults;           // faults on request from the start
};

class EmbeddedModule {
public:
    explicit EmbeddedModule(const EmbeddedOptions& options);
    ~EmbeddedModule();
    EmbeddedModule(const EmbeddedModule&) = delete;
    EmbeddedModule& operator=(const EmbeddedModule&) = delete;

    // Checks that the flash file can be written (so a long session does not
    // learn it only at the end), then starts the module on its line
    // (StartOwnLine).  Returns the port's name, or "" with Error() saying why.
    std::string Start();
    // Stops the module and writes its flash to saveFlash, when one was given.
    // False, with Error() saying why, when the file could not be written.
    // Safe to call twice; the flash is written once.
    bool Finish();
    const std::string& Error() const { return m_error; }
    // The running module, for faults and state.
    Simulator& Module() { return *m_sim; }

private:
    EmbeddedOptions m_opt;
    std::unique_ptr<Simulator> m_sim;
    std::string m_error;
    std::string m_saveError;
    bool m_finished = false;
};

// Starts sim on the line a front-end's own module runs on and returns the
// name its channel opens: a new pseudo-terminal on POSIX (its path; with
// ZANTU_SIM_LINE=inproc in the environment the in-process line instead), the
// in-process line on Windows.  "" with sim.LastError() on failure.
std::string StartOwnLine(Simulator& sim);

// "" when path can be created or rewritten by this process, else why not.
std::string FlashFileProblem(const std::string& path);
// Writes the bytes to path (created or truncated); "" when done, else why not.
std::string WriteFlashFile(const std::string& path, const std::vector<std::uint8_t>& flash);

}  // namespace zsim
