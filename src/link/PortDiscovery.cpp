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

constexpr std::size_t kMaxAttribute = 128;
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

std::string Quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

}  // namespace

std::string ParseAttribute(std::string_view s) {
    const auto nl = s.find('\n');
    if (nl != std::string_view::npos) s = s.substr(0, nl);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\0'))
        s.remove_suffix(1);
    if (s.size() > kMaxAttribute) s = s.substr(0, kMaxAttribute);
    std::string out;
    for (char c : s) out.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c);
    return out;
}

bool IsUnknownSerialType(std::string_view contents) { return ParseAttribute(contents) == "0"; }

std::string DeviceNameFromSysfs(std::string_view entry) {
    std::string s(entry);
    std::replace(s.begin(), s.end(), '!', '/');
    return s;
}

bool NaturalLess(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            std::size_t ie = i, je = j;
            while (ie < a.size() && a[ie] == '0') ++ie;  // leading zeros do not count
            while (je < b.size() && b[je] == '0') ++je;
            std::size_t ae = ie, be = je;
            while (ae < a.size() && digit(a[ae])) ++ae;
            while (be < b.size() && digit(b[be])) ++be;
            if (ae - ie != be - je) return ae - ie < be - je;
            const int c = a.substr(ie, ae - ie).compare(b.substr(je, be - je));
            if (c != 0) return c < 0;
            i = ae;
            j = be;
            continue;
        }
        if (a[i] != b[j]) return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

std::string SerialPortInfo::Description() const {
    std::string s;
    if (usb) {
        s = manufacturer;
        if (!product.empty()) s += (s.empty() ? "" : " ") + product;
        if (s.empty()) s = "USB serial adapter";
        if (!serial.empty()) s += ", serial " + serial;
        s += " (" + vendorId + ":" + productId;
        if (!driver.empty()) s += ", " + driver;
        return s + ")";
    }
    s = "serial port";
    if (!driver.empty()) s += " (" + driver + ")";
    return s;
}

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

bool NamesPort(const std::string& path, const SerialPortInfo& port) {
    if (path.empty()) return false;
    if (path == port.device) return true;
    for (const auto& l : port.byId)
        if (l == path) return true;
    for (const auto& l : port.byPath)
        if (l == path) return true;
    // Another link (or a /dev name written differently) that leads to the device.
    std::error_code ec;
    const fs::path a = fs::canonical(path, ec);
    if (ec) return false;
    const fs::path b = fs::canonical(port.device, ec);
    return !ec && a == b;
}

std::vector<int> ComsMappedTo(const SerialPortInfo& port, const PortMap& map) {
    std::vector<int> out;
    for (int n = 1; n <= PortMap::kPorts; ++n)
        if (NamesPort(map.PathFor(n), port)) out.push_back(n);
    return out;
}

std::string FormatPortLine(const SerialPortInfo& p, const std::vector<int>& coms) {
    std::string s = p.device + " com=";
    if (coms.empty()) s += "-";
    for (std::size_t i = 0; i < coms.size(); ++i) s += (i ? "," : "") + std::to_string(coms[i]);
    if (!p.driver.empty()) s += " driver=" + p.driver;
    if (p.usb) {
        s += " usb=" + p.vendorId + ":" + p.productId;
        if (!p.manufacturer.empty()) s += " vendor=" + Quoted(p.manufacturer);
        if (!p.product.empty()) s += " product=" + Quoted(p.product);
        if (!p.serial.empty()) s += " serial=" + Quoted(p.serial);
    }
    for (const auto& l : p.byId) s += " by-id=" + l;
    for (const auto& l : p.byPath) s += " by-path=" + l;
    return s;
}
