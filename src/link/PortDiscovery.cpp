// The shared part of port discovery: parsing, descriptions, the COMn a port
// is mapped to and the lines of --list-ports.  Finding the ports is the
// platform's (PortDiscovery_linux.cpp: sysfs; PortDiscovery_win.cpp: the
// registry and SetupAPI).
#include "link/PortDiscovery.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr std::size_t kMaxAttribute = 128;

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

bool ParseUsbIds(std::string_view id, std::string& vendorId, std::string& productId) {
    auto field = [&](std::string_view key) -> std::string {
        for (std::size_t i = 0; i + key.size() + 4 <= id.size(); ++i) {
            bool match = i == 0 || id[i - 1] == '\\' || id[i - 1] == '&' || id[i - 1] == '+';
            for (std::size_t k = 0; match && k < key.size(); ++k)
                match = (id[i + k] & ~0x20) == key[k];
            if (!match) continue;
            const std::string_view hex = id.substr(i + key.size(), 4);
            if (!std::all_of(hex.begin(), hex.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
                continue;
            std::string out(hex);
            for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return out;
        }
        return {};
    };
    std::string v = field("VID_"), p = field("PID_");
    if (v.empty() || p.empty()) return false;
    vendorId = std::move(v);
    productId = std::move(p);
    return true;
}

std::string SerialFromInstanceId(std::string_view id) {
    if (id.size() < 4 || (id.substr(0, 4) != "USB\\" && id.substr(0, 4) != "usb\\")) return {};
    const auto slash = id.rfind('\\');
    if (slash == std::string_view::npos || slash < 4) return {};
    const std::string_view last = id.substr(slash + 1);
    if (last.empty() || last.find('&') != std::string_view::npos) return {};
    return ParseAttribute(last);
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
    if (!friendlyName.empty()) {
        s = friendlyName;
        if (usb && !serial.empty()) s += ", serial " + serial;
        if (usb) s += " (" + vendorId + ":" + productId + ")";
        return s;
    }
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

bool NamesPort(const std::string& path, const SerialPortInfo& port) {
    if (path.empty()) return false;
    if (path == port.device) return true;
    for (const auto& l : port.byId)
        if (l == path) return true;
    for (const auto& l : port.byPath)
        if (l == path) return true;
    // Another link (or a name written differently) that leads to the device.
    return SamePortPath(path, port.device);
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
