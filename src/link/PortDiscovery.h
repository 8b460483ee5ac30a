// Finding the serial ports of this machine, with their driver and, for USB
// adapters, vendor, product and serial number.  On Linux from sysfs, with
// their stable names under /dev/serial/by-id and by-path; both roots can be
// moved, so the tests run on a fake tree in a temporary folder.  On Windows
// from the registry's list of serial ports and SetupAPI (the roots mean
// nothing there).  Reading and parsing are apart: the parsing functions take
// file contents and return values.
#pragma once

#include "link/PortMap.h"

#include <string>
#include <string_view>
#include <vector>

struct DeviceRoots {
    std::string sys = "/sys";
    std::string dev = "/dev";
};

struct SerialPortInfo {
    std::string name;                 // "ttyUSB0"; "COM3"
    std::string device;               // "/dev/ttyUSB0"; "\\\\.\\COM3"
    std::string friendlyName;         // Windows: "USB Serial Port (COM3)"
    std::vector<std::string> byId;    // "/dev/serial/by-id/usb-...", sorted
    std::vector<std::string> byPath;  // "/dev/serial/by-path/pci-...", sorted
    std::string driver;               // "ftdi_sio", "cdc_acm", "serial8250", ...
    std::string subsystem;            // bus of the parent device: "usb-serial", "usb", "pnp", ...
    bool usb = false;
    std::string vendorId, productId;            // "0403", "6001"
    std::string manufacturer, product, serial;  // as the adapter reports them

    // The name to assign the port by: its first by-id name, else the device.
    const std::string& StableName() const { return byId.empty() ? device : byId.front(); }
    // "FTDI FT232R USB UART, serial A1B2C3 (0403:6001, ftdi_sio)"; for other
    // ports "serial port (serial8250)".
    std::string Description() const;
};

// The serial ports present, in natural name order (ttyS2 before ttyS10):
// every tty with a device behind it, except serial-core ports with no UART.
std::vector<SerialPortInfo> DiscoverPorts(const DeviceRoots& roots = {});

// The first by-id name that leads to the device name ("ttyUSB0"); "" if none.
std::string FindByIdName(std::string_view deviceName, const DeviceRoots& roots = {});
// Every by-id and by-path name that leads to the device name, by-id first.
std::vector<std::string> StableNames(std::string_view deviceName, const DeviceRoots& roots = {});

// Whether path names this port: its device, one of its stable names, or a
// link that leads to its device.
bool NamesPort(const std::string& path, const SerialPortInfo& port);
// Whether two paths lead to the same device (the platform's way of telling).
bool SamePortPath(const std::string& a, const std::string& b);
// Whether a port by that path is there now.
bool PortPresent(const std::string& path);

// COM numbers whose mapped path names the port.
std::vector<int> ComsMappedTo(const SerialPortInfo& port, const PortMap& map);

// One line of --list-ports:
// /dev/ttyUSB0 com=3 driver=ftdi_sio usb=0403:6001 vendor="FTDI" product="..." serial="..."
//   by-id=... by-path=...   (on one line)
std::string FormatPortLine(const SerialPortInfo& port, const std::vector<int>& coms);

// ---- parsing (no file access) ---------------------------------------------
// A sysfs attribute's value: up to the first newline, trailing blanks cut,
// control characters as '?', at most 128 characters.
std::string ParseAttribute(std::string_view contents);
// A serial-core "type" attribute: true for 0 (PORT_UNKNOWN, no UART there).
bool IsUnknownSerialType(std::string_view contents);
// sysfs writes '/' in device names as '!': "cciss!c0d0" -> "cciss/c0d0".
std::string DeviceNameFromSysfs(std::string_view entry);
// Windows: vendor and product ids from a hardware id
// ("USB\VID_0403&PID_6001&REV_0600", "FTDIBUS\COMPORT&VID_0403&PID_6001");
// false when it has none.
bool ParseUsbIds(std::string_view hardwareId, std::string& vendorId, std::string& productId);
// Windows: the serial number in a USB device's instance id
// ("USB\VID_0403&PID_6001\A1B2C3" -> "A1B2C3"); "" where the system made
// the last part up (it then holds '&').
std::string SerialFromInstanceId(std::string_view instanceId);
// Natural order: digit runs compare by value.
bool NaturalLess(std::string_view a, std::string_view b);
