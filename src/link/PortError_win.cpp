// The Windows parts of the reasons a port could not be opened: what the
// system's error codes mean for a port, and their text.
#include "link/PortError.h"

#include <windows.h>

void DescribeDeviceAccess(PortOpenError&) {}  // a port has no group to join here

std::string SystemErrorText(int err) {
    char buf[512];
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               static_cast<DWORD>(err), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), buf,
                               sizeof buf, nullptr);
    if (n == 0)
        n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(err), 0, buf, sizeof buf, nullptr);
    std::string s(buf, n);
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ' || s.back() == '.')) s.pop_back();
    return s.empty() ? "error " + std::to_string(err) : s + " (error " + std::to_string(err) + ")";
}

PortFault OpenFaultOf(int err) {
    switch (static_cast<DWORD>(err)) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_NOT_READY: return PortFault::NoDevice;
    // A port that another program has open answers "access denied".
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY: return PortFault::InUse;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED: return PortFault::NotTerminal;
    default: return PortFault::Other;
    }
}
