// The serial ports Windows has: their names from the registry's list of
// serial devices (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM), and for each the
// friendly name, driver and, for USB adapters, vendor and product ids and
// serial number from SetupAPI (the Ports class, matched by the PortName its
// device key holds).  The device roots mean nothing here.
#include "link/PortDiscovery.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <map>

namespace {

// The Ports (COM & LPT) device setup class.
const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr std::string_view kDevicePrefix = "\\\\.\\";

std::string Utf8(const wchar_t* w, std::size_t n) {
    while (n > 0 && w[n - 1] == L'\0') --n;
    if (n == 0) return {};
    const int len = ::WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(std::max(len, 0)), '\0');
    if (len > 0) ::WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(n), s.data(), len, nullptr, nullptr);
    return s;
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// "COM3" for "\\.\COM3" and "COM3".
std::string PortNameOf(std::string_view path) {
    if (path.substr(0, kDevicePrefix.size()) == kDevicePrefix) path.remove_prefix(kDevicePrefix.size());
    return Upper(std::string(path));
}

// The COM names in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM (value data "COM3").
std::vector<std::string> RegisteredPorts() {
    std::vector<std::string> out;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return out;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        wchar_t data[256];
        DWORD nameLen = 256, dataLen = sizeof data, type = 0;
        const LONG r = ::RegEnumValueW(key, i, name, &nameLen, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataLen);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS || type != REG_SZ) continue;
        const std::string port = Upper(Utf8(data, dataLen / sizeof(wchar_t)));
        if (!port.empty() && std::find(out.begin(), out.end(), port) == out.end()) out.push_back(port);
    }
    ::RegCloseKey(key);
    return out;
}

std::string Property(HDEVINFO set, SP_DEVINFO_DATA& dev, DWORD prop) {
    wchar_t buf[1024];
    DWORD type = 0, size = 0;
    if (!::SetupDiGetDeviceRegistryPropertyW(set, &dev, prop, &type, reinterpret_cast<BYTE*>(buf), sizeof buf - 2,
                                             &size))
        return {};
    buf[std::min<DWORD>(size / sizeof(wchar_t), 511)] = L'\0';
    return Utf8(buf, ::wcslen(buf));  // of a list (hardware ids), the first
}

std::string InstanceId(DEVINST inst) {
    wchar_t buf[MAX_DEVICE_ID_LEN + 1] = {};
    if (::CM_Get_Device_IDW(inst, buf, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return {};
    return Utf8(buf, ::wcslen(buf));
}

// What SetupAPI knows of each present port, by COM name.
std::map<std::string, SerialPortInfo> PortDetails() {
    std::map<std::string, SerialPortInfo> out;
    HDEVINFO set = ::SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return out;
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
        HKEY key = ::SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        wchar_t name[64] = {};
        DWORD size = sizeof name - 2, type = 0;
        const bool named = ::RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) ==
                               ERROR_SUCCESS &&
                           type == REG_SZ;
        ::RegCloseKey(key);
        if (!named) continue;
        SerialPortInfo p;
        p.name = Upper(Utf8(name, ::wcslen(name)));
        p.friendlyName = Property(set, dev, SPDRP_FRIENDLYNAME);
        p.driver = Property(set, dev, SPDRP_SERVICE);
        p.manufacturer = Property(set, dev, SPDRP_MFG);
        p.usb = ParseUsbIds(Property(set, dev, SPDRP_HARDWAREID), p.vendorId, p.productId);
        // The serial number is in the USB device's instance id: the port's
        // own, or its parent's where a bus driver sits between (one level up).
        std::string id = InstanceId(dev.DevInst);
        p.serial = SerialFromInstanceId(id);
        DEVINST parent = 0;
        if (p.serial.empty() && ::CM_Get_Parent(&parent, dev.DevInst, 0) == CR_SUCCESS) {
            const std::string parentId = InstanceId(parent);
            p.serial = SerialFromInstanceId(parentId);
            if (!p.usb) p.usb = ParseUsbIds(parentId, p.vendorId, p.productId);
        }
        if (p.usb) p.subsystem = "usb";
        out.emplace(p.name, std::move(p));
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return out;
}

}  // namespace

std::vector<SerialPortInfo> DiscoverPorts(const DeviceRoots&) {
    std::map<std::string, SerialPortInfo> details = PortDetails();
    std::vector<SerialPortInfo> out;
    std::vector<std::string> names = RegisteredPorts();
    for (const auto& [name, info] : details)
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    for (const std::string& name : names) {
        SerialPortInfo p;
        if (auto it = details.find(name); it != details.end()) p = it->second;
        p.name = name;
        p.device = std::string(kDevicePrefix) + name;
        out.push_back(std::move(p));
    }
    std::sort(out.begin(), out.end(),
              [](const SerialPortInfo& a, const SerialPortInfo& b) { return NaturalLess(a.name, b.name); });
    return out;
}

// No by-id or by-path names on Windows.
std::string FindByIdName(std::string_view, const DeviceRoots&) { return {}; }
std::vector<std::string> StableNames(std::string_view, const DeviceRoots&) { return {}; }

bool SamePortPath(const std::string& a, const std::string& b) {
    return !a.empty() && PortNameOf(a) == PortNameOf(b);
}

bool PortPresent(const std::string& path) {
    if (path.empty()) return false;
    const std::string name = PortNameOf(path);
    char target[1024];
    return ::QueryDosDeviceA(name.c_str(), target, sizeof target) != 0;
}
