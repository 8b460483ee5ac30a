// sysfs layout read here:
//   SYS/class/tty/NAME           link to the tty's directory under SYS/devices
//   SYS/class/tty/NAME/device    link to the parent device (absent for virtual ttys)
//   .../device/driver            link whose last part is the driver's name
//   .../device/subsystem         link whose last part is the parent's bus; on
//                                "serial-base" the driver is looked for further up
//   SYS/class/tty/NAME/type      serial core only: 0 when no UART answers there
//   idVendor, idProduct, manufacturer, product, serial
//                                in the USB device's directory, an ancestor of the parent
//   DEV/serial/by-id/*, DEV/serial/by-path/*   links to ../../NAME
#include "link/PortDiscovery.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int kMaxUsbClimb = 8;  // levels from the parent device up to the USB device

std::string ReadAttribute(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    char buf[512];
    ssize_t n;
    do {
        n = ::read(fd, buf, sizeof buf);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    return n > 0 ? ParseAttribute(std::string_view(buf, static_cast<std::size_t>(n))) : std::string();
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The last part of a link's target ("../../../bus/usb/drivers/ftdi_sio" -> "ftdi_sio").
std::string LinkLeaf(const std::string& link) {
    char buf[4096];
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return {};
    const std::string_view t(buf, static_cast<std::size_t>(n));
    const auto slash = t.rfind('/');
    return std::string(slash == std::string_view::npos ? t : t.substr(slash + 1));
}

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> out;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return out;
    while (const dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') out.emplace_back(e->d_name);
    ::closedir(d);
    return out;
}

// The links in DEV/serial/KIND that lead to the tty NAME, as DEV/serial/KIND/LINK.
std::vector<std::string> LinksTo(const DeviceRoots& roots, const char* kind, std::string_view name) {
    std::vector<std::string> out;
    const std::string dir = roots.dev + "/serial/" + kind;
    for (const std::string& link : ListDir(dir))
        if (LinkLeaf(dir + "/" + link) == name) out.push_back(dir + "/" + link);
    std::sort(out.begin(), out.end());
    return out;
}

void ReadUsb(SerialPortInfo& p, const std::string& parent) {
    std::error_code ec;
    fs::path dir = fs::canonical(parent, ec);
    if (ec) return;
    for (int i = 0; i < kMaxUsbClimb && dir.has_relative_path(); ++i, dir = dir.parent_path()) {
        const std::string d = dir.string();
        if (!Exists(d + "/idVendor")) continue;
        p.usb = true;
        p.vendorId = ReadAttribute(d + "/idVendor");
        p.productId = ReadAttribute(d + "/idProduct");
        p.manufacturer = ReadAttribute(d + "/manufacturer");
        p.product = ReadAttribute(d + "/product");
        p.serial = ReadAttribute(d + "/serial");
        return;
    }
}

}  // namespace

std::vector<SerialPortInfo> DiscoverPorts(const DeviceRoots& roots) {
    std::vector<SerialPortInfo> out;
    const std::string classDir = roots.sys + "/class/tty";
    for (const std::string& entry : ListDir(classDir)) {
        const std::string tty = classDir + "/" + entry;
        const std::string parent = tty + "/device";
        if (!Exists(parent)) continue;  // virtual terminals, consoles, ptmx
        const std::string type = tty + "/type";
        if (Exists(type) && IsUnknownSerialType(ReadAttribute(type))) continue;  // no UART there
        SerialPortInfo p;
        p.name = DeviceNameFromSysfs(entry);
        p.device = roots.dev + "/" + p.name;
        // Newer kernels put a serial-core "port" device between the tty and
        // the hardware; the driver worth naming is the first one above it.
        std::string dir = parent;
        for (int i = 0; i < kMaxUsbClimb; ++i) {
            p.driver = LinkLeaf(dir + "/driver");
            p.subsystem = LinkLeaf(dir + "/subsystem");
            if (p.subsystem != "serial-base") break;
            dir += "/..";
        }
        ReadUsb(p, parent);
        p.byId = LinksTo(roots, "by-id", p.name);
        p.byPath = LinksTo(roots, "by-path", p.name);
        out.push_back(std::move(p));
    }
    std::sort(out.begin(), out.end(),
              [](const SerialPortInfo& a, const SerialPortInfo& b) { return NaturalLess(a.name, b.name); });
    return out;
}

std::string FindByIdName(std::string_view deviceName, const DeviceRoots& roots) {
    const auto links = LinksTo(roots, "by-id", deviceName);
    return links.empty() ? std::string() : links.front();
}

std::vector<std::string> StableNames(std::string_view deviceName, const DeviceRoots& roots) {
    std::vector<std::string> out = LinksTo(roots, "by-id", deviceName);
    for (std::string& l : LinksTo(roots, "by-path", deviceName)) out.push_back(std::move(l));
    return out;
}

bool SamePortPath(const std::string& a, const std::string& b) {
    std::error_code ec;
    const fs::path ca = fs::canonical(a, ec);
    if (ec) return false;
    const fs::path cb = fs::canonical(b, ec);
    return !ec && ca == cb;
}

bool PortPresent(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}
