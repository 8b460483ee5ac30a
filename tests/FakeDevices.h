// A fake sysfs and /dev of a laptop with serial ports, in a temporary folder:
//   ttyUSB0  FTDI adapter on USB (usb-serial, ftdi_sio) with by-id and by-path names
//   ttyACM0  CDC-ACM board on USB (cdc_acm), no product name, no stable names
//   ttyS0    built-in UART (platform, serial8250); ttyS1 on the same driver, no UART
//   ttyS2    UART behind serial-core "port" devices (serial-base) on pnp; ttyS3 likewise, no UART
//   ttyS10   built-in UART
//   tty0     virtual terminal (no device)
#pragma once

#include "TempTree.h"
#include "link/PortDiscovery.h"

class FakeDevices {
public:
    TempTree tree;
    std::string sys = tree.Path("sys");
    std::string dev = tree.Path("dev");
    DeviceRoots roots{sys, dev};

    std::string ById() const { return dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0"; }

    bool BuildLaptop() {
        bool ok = true;
        const std::string pci = "sys/devices/pci0000:00/0000:00:14.0/usb1";
        // The FTDI adapter.
        ok = ok && Usb(pci + "/1-1", "0403", "6001", "FTDI", "FT232R USB UART", "A1B2C3");
        ok = ok && Parent(pci + "/1-1/1-1:1.0/ttyUSB0", "ftdi_sio", "usb-serial");
        ok = ok && Tty("ttyUSB0", pci + "/1-1/1-1:1.0/ttyUSB0", "");
        ok = ok && tree.Link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0", "../../ttyUSB0");
        ok = ok && tree.Link("dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0", "../../ttyUSB0");
        ok = ok && tree.Link("dev/serial/by-id/usb-Other_Adapter-if00", "../../ttyUSB5");  // not present
        // The CDC-ACM board.
        ok = ok && Usb(pci + "/1-2", "2341", "0043", "Arduino (www.arduino.cc)", "", "7543");
        ok = ok && Parent(pci + "/1-2/1-2:1.0", "cdc_acm", "usb");
        ok = ok && Tty("ttyACM0", pci + "/1-2/1-2:1.0", "");
        // Built-in ports.
        ok = ok && Parent("sys/devices/platform/serial8250", "serial8250", "platform");
        ok = ok && Tty("ttyS0", "sys/devices/platform/serial8250", "4");
        ok = ok && Tty("ttyS1", "sys/devices/platform/serial8250", "0");
        ok = ok && Tty("ttyS10", "sys/devices/platform/serial8250", "4");
        ok = ok && Parent("sys/devices/pnp0/00:05", "serial", "pnp");
        ok = ok && Parent("sys/devices/pnp0/00:05/00:05:0", "ctrl", "serial-base");
        ok = ok && Parent("sys/devices/pnp0/00:05/00:05:0/00:05:0.0", "port", "serial-base");
        ok = ok && Tty("ttyS2", "sys/devices/pnp0/00:05/00:05:0/00:05:0.0", "4");
        ok = ok && Parent("sys/devices/pnp0/00:05/00:05:0/00:05:0.1", "port", "serial-base");
        ok = ok && Tty("ttyS3", "sys/devices/pnp0/00:05/00:05:0/00:05:0.1", "0");
        // A virtual terminal.
        ok = ok && tree.MakeDir("sys/devices/virtual/tty/tty0");
        ok = ok && tree.Link("sys/class/tty/tty0", tree.Path("sys/devices/virtual/tty/tty0"));
        ok = ok && tree.WriteFile("dev/tty0", "");
        return ok;
    }

private:
    bool Usb(const std::string& dir, const char* vid, const char* pid, const char* maker, const char* product,
             const char* serial) {
        bool ok = tree.WriteFile(dir + "/idVendor", std::string(vid) + "\n") &&
                  tree.WriteFile(dir + "/idProduct", std::string(pid) + "\n") &&
                  tree.WriteFile(dir + "/manufacturer", std::string(maker) + "\n") &&
                  tree.WriteFile(dir + "/serial", std::string(serial) + "\n");
        if (*product) ok = ok && tree.WriteFile(dir + "/product", std::string(product) + "\n");
        return ok;
    }
    // A parent device with its driver and bus (the links' last parts count).
    bool Parent(const std::string& dir, const char* driver, const char* bus) {
        return tree.MakeDir(dir) && tree.Link(dir + "/driver", "../../bus/" + std::string(bus) + "/drivers/" + driver) &&
               tree.Link(dir + "/subsystem", "../../bus/" + std::string(bus));
    }
    // The tty NAME under parent, its class link, its device node; type "" for none.
    bool Tty(const std::string& name, const std::string& parent, const std::string& type) {
        const std::string dir = parent + "/tty/" + name;
        bool ok = tree.MakeDir(dir) && tree.Link(dir + "/device", tree.Path(parent)) &&
                  tree.Link("sys/class/tty/" + name, tree.Path(dir)) && tree.WriteFile("dev/" + name, "");
        if (!type.empty()) ok = ok && tree.WriteFile(dir + "/type", type + "\n");
        return ok;
    }
};
