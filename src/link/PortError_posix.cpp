// The POSIX parts of the reasons a port could not be opened: the device's
// group and the error texts of errno.
#include "link/PortError.h"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

void DescribeDeviceAccess(PortOpenError& e) {
    struct stat st {};
    if (::stat(e.path.c_str(), &st) != 0) return;
    e.groupMayOpen = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    group buf{};
    group* g = nullptr;
    std::vector<char> tmp(4096);
    if (::getgrgid_r(st.st_gid, &buf, tmp.data(), tmp.size(), &g) == 0 && g && g->gr_name)
        e.group = g->gr_name;
    else
        e.group = std::to_string(st.st_gid);
    e.inGroup = ::getegid() == st.st_gid;
    gid_t groups[256];
    const int n = ::getgroups(256, groups);
    for (int i = 0; i < n; ++i)
        if (groups[i] == st.st_gid) e.inGroup = true;
}

std::string SystemErrorText(int err) { return std::strerror(err); }

PortFault OpenFaultOf(int err) {
    switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO: return PortFault::NoDevice;
    case EACCES:
    case EPERM:
    case EROFS: return PortFault::NoPermission;
    case EBUSY: return PortFault::InUse;  // held exclusively (TIOCEXCL) by another program
    default: return PortFault::Other;
    }
}
