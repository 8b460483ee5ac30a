#include "link/PortError.h"

namespace {
std::string ErrText(int err) { return err ? SystemErrorText(err) : std::string("unknown error"); }

std::string HolderText(const portlock::Holder& h) {
    if (h.pid <= 0) return {};
    std::string s = "process " + std::to_string(h.pid);
    if (!h.name.empty()) s += " (" + h.name + ")";
    return s;
}
}  // namespace

std::string DescribeOpenError(const PortOpenError& e, PortAdvice advice) {
    const std::string& p = e.path;
    switch (e.fault) {
    case PortFault::None: return {};
    case PortFault::NoPortNumber:
        return "COM" + std::to_string(e.nPort) + " is not a port of this console: it has COM1 to COM10.";
    case PortFault::NoDevice:
        return p + " does not exist: the adapter is not plugged in, or the port has another name now. " +
               (advice == PortAdvice::CommandLine
                    ? "Plug it in, or give --port the name it has (see zantu-cli list-ports)."
                    : "Plug it in, or assign the port it has (right-click the Com button, or see "
                      "zantu-console --list-ports).");
    case PortFault::NoPermission: {
        std::string s = "Permission denied: this user may not open " + p + ". ";
        if (e.group.empty()) return s + "Ask the administrator for access to it.";
        if (e.group == "root" || e.group == "0" || !e.groupMayOpen)
            return s + "Only its owner may open it (group " + e.group +
                   " has no read and write access); ask the administrator for access, for instance "
                   "a udev rule that gives it to group dialout.";
        if (e.inGroup)
            return s + "It belongs to group " + e.group +
                   " and this user is a member, but the device refused: check its permissions.";
        return s + "It belongs to group " + e.group +
               ", which this user is not in. Join it with `sudo usermod -aG " + e.group +
               " $USER`, then log out and in again.";
    }
    case PortFault::InUse: {
        std::string s = p + " is in use by another program";
        const std::string who = HolderText(e.holder);
        if (!who.empty()) s += ": " + who;
        if (!who.empty() && !e.lockFile.empty()) s += ", which holds the lock file " + e.lockFile;
        if (who.empty() && !e.lockFile.empty())
            return s + ": the lock file " + e.lockFile +
                   " exists but its owner cannot be told. Close the program that uses the port, "
                   "or remove the lock file if none does.";
        if (e.onlyOpen)
            return s + ", which has it open but holds no lock on it. " +
                   (advice == PortAdvice::CommandLine
                        ? "Close that program, or give --shared to open it anyway (both then read from it)."
                        : "Close that program, or answer Yes when OPEN asks to open it anyway (both then "
                          "read from it).");
        if (who.empty() && e.seesEveryProcess)
            return s + ": it refused this opening, but no process has the port open any more, so the "
                       "program that had it has most likely just closed it. Try again.";
        if (who.empty()) s += " (which one cannot be seen as this user)";
        if (e.exclusive && who.empty())
            return s + ". If no program uses it, one that ended without closing it has left its exclusive "
                       "flag set: unplug and replug the adapter (for a pseudo-terminal, restart the program "
                       "at its other end), or have root open and close it once, which clears the flag.";
        return s + ". Close that program, or pick another port.";
    }
    case PortFault::NotTerminal:
        return p + " is not a serial port (not a terminal device).";
    case PortFault::SettingsRefused:
        return p + " refused the line settings (speed, data bits, parity, stop bits): " +
               ErrText(e.nError) + ".";
    case PortFault::Lost:
        return p + " went away (unplugged?). The console opens it again by itself when it comes back.";
    case PortFault::Other: break;
    }
    return p + " could not be opened: " + ErrText(e.nError) + ".";
}
