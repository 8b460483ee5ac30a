// Sharing a serial port politely with other programs on Linux.
//
// Two signals besides the channel's own TIOCEXCL and flock:
//  - the UUCP lock file that serial programs share: LCK..NAME in the system's
//    lock directory, holding the owner's PID as ten ASCII digits and a newline.
//    A lock whose process is gone is stale and is taken over.
//  - the processes that have the device open, found as fuser finds them: the
//    descriptors under /proc/PID/fd, as far as this user may read them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace portlock {

// A process that holds a device.  pid 0: held, but by whom cannot be seen.
struct Holder {
    int pid = 0;
    std::string name;  // its command name, when visible
};

// The system's lock directory: /run/lock where it exists, else /var/lock.
std::string DefaultLockDir();

// "LCK..ttyUSB0" for /dev/ttyUSB0, "LCK..pts_3" for /dev/pts/3: the canonical
// device path below /dev with '/' written as '_' (outside /dev, its last part).
std::string LockFileName(std::string_view canonicalDevice);

// A lock file's contents for pid: "%10d\n".
std::string FormatLockPid(int pid);
// The PID in a lock file's contents: the ASCII form (blanks, digits, an
// optional newline) or the old 4-byte binary form; 0 when it is neither.
int ParseLockPid(std::string_view contents);

// Whether process pid exists (also when it belongs to another user).
bool ProcessAlive(int pid);

// The command name of process pid from procRoot/PID/comm; "" when unreadable.
std::string ProcessName(int pid, const std::string& procRoot = "/proc");

class UucpLock {
public:
    enum class Result {
        Taken,   // the lock file is ours
        Held,    // another live process holds it (or its contents cannot be read)
        NoLock,  // no lock file could be made (directory not writable, missing,
                 // or a stale lock another user left): other checks decide
    };

    UucpLock() = default;
    ~UucpLock() { Release(); }
    UucpLock(const UucpLock&) = delete;
    UucpLock& operator=(const UucpLock&) = delete;

    // Takes the lock of canonicalDevice in dir.  On Held, holder says who;
    // on NoLock, Error() gives the errno.
    Result Acquire(const std::string& dir, const std::string& canonicalDevice, Holder& holder);
    // Removes the lock file if it still holds this process's PID.
    void Release();
    bool Owned() const { return !m_path.empty(); }
    // The lock file this object owns, or the one it last found held.
    const std::string& LastPath() const { return m_lastPath; }
    int Error() const { return m_nError; }

private:
    std::string m_path;
    std::string m_lastPath;
    int m_nError = 0;
};

// The lock files of every name a device goes by: its device path, the
// /dev/serial/by-id and by-path links to it and the name it was opened by.
// A program that locked any one of them holds the port, whatever name it
// used.  Each name's lock is taken (one file per distinct lock file name),
// so programs that look by any name see the port held.
class UucpLockSet {
public:
    // Takes the lock of every name in dir, in order.  On Held (the first name
    // another program holds), the locks taken so far are released again and
    // holder and HeldPath() say who and which file.  NoLock from one name
    // (directory not writable, a stale lock another user left) does not stop
    // the others.
    UucpLock::Result Acquire(const std::string& dir, const std::vector<std::string>& names, Holder& holder);
    void Release();
    // The lock file found held by the last Acquire.
    const std::string& HeldPath() const { return m_heldPath; }
    // The lock files taken.
    std::vector<std::string> Paths() const;

private:
    std::vector<std::unique_ptr<UucpLock>> m_locks;
    std::string m_heldPath;
};

// A process other than selfPid that has canonicalDevice open: an entry of
// procRoot/PID/fd whose link text is that path.  Processes whose descriptors
// this user may not read are passed over.  The first one found, or nothing.
std::optional<Holder> FindOtherHolder(const std::string& canonicalDevice,
                                      const std::string& procRoot = "/proc", int selfPid = -1);

// Whether process pid has canonicalDevice open (as far as this user may see):
// one process's descriptors, not the whole of procRoot.
bool HasOpen(int pid, const std::string& canonicalDevice, const std::string& procRoot = "/proc");

}  // namespace portlock
