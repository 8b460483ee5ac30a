// Why a port could not be opened, and the same in plain words with the fix
// where there is one.  The channel fills the record; the console shows the
// text in the status line's tooltip and on standard error.
#pragma once

#include "link/PortLock.h"

#include <cstdint>
#include <string>

enum class PortFault : std::uint8_t {
    None,
    NoPortNumber,     // not one of COM1..COM10
    NoDevice,         // the path does not exist, or no device answers behind it
    NoPermission,     // the user may not open it
    InUse,            // another program has it
    NotTerminal,      // the path is not a serial port
    SettingsRefused,  // the line settings were not accepted
    Lost,             // it went away while open
    Other,
};

struct PortOpenError {
    PortFault fault = PortFault::None;
    int nError = 0;          // the system's error code where one applies
    int nPort = 0;           // COM number
    std::string path;        // the path that was tried
    portlock::Holder holder; // InUse: who holds it, where visible
    std::string lockFile;    // InUse through a lock file: its path
    // InUse: how it showed.  exclusive: the port's exclusive flag refused the
    // open (a program that ended without closing can leave it set).  onlyOpen:
    // the only sign is that holder has the device open (no lock file, no
    // flock, no exclusive flag); it may be opened anyway (CComm::SetShared).
    bool exclusive = false;
    bool onlyOpen = false;
    // InUse: the open ran as a user who sees every process's descriptors
    // (root); a holder not found then had most likely just closed the port.
    bool seesEveryProcess = false;
    std::string group;       // NoPermission: the device's group ("" when unknown)
    bool inGroup = false;    // NoPermission: this process is a member of that group
    bool groupMayOpen = false;  // NoPermission: the group has read and write access
};

// Fills group, inGroup and groupMayOpen from the device at path (where the
// platform has groups).
void DescribeDeviceAccess(PortOpenError& e);

// A system error code (errno, or GetLastError on Windows) in words.
std::string SystemErrorText(int err);
// What the system error of a failed open of a port means.
PortFault OpenFaultOf(int err);

// Whom the fix is told to: the window's user (the Com button's menu) or the
// command line's (--port and zantu-cli list-ports).
enum class PortAdvice : std::uint8_t { Window, CommandLine };

// The reason in plain words, one paragraph, with the fix where there is one.
std::string DescribeOpenError(const PortOpenError& e, PortAdvice advice = PortAdvice::Window);
