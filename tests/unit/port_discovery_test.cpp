// Port discovery on a fake sysfs and /dev tree: a USB adapter (usb-serial), a
// CDC-ACM device, serial-core ports with and without a UART (also behind a
// "serial-base" port device), virtual terminals; the parsing functions; the
// --list-ports line and the COM mapping.
#include "link/PortDiscovery.h"

#include "FakeDevices.h"

#include <gtest/gtest.h>

namespace {

TEST(PortParsing, Attributes) {
    const std::pair<std::string, std::string> cases[] = {
        {"FTDI\n", "FTDI"},
        {"FT232R USB UART  \n", "FT232R USB UART"},
        {"A1B2\nsecond line\n", "A1B2"},
        {"", ""},
        {"tab\there\n", "tab?here"},
        {std::string(300, 'x'), std::string(128, 'x')},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(ParseAttribute(in), out) << in;
    EXPECT_TRUE(IsUnknownSerialType("0\n"));
    EXPECT_FALSE(IsUnknownSerialType("4\n"));
    EXPECT_FALSE(IsUnknownSerialType("10\n"));
    EXPECT_EQ(DeviceNameFromSysfs("ttyUSB0"), "ttyUSB0");
    EXPECT_EQ(DeviceNameFromSysfs("tts!0"), "tts/0");
}

TEST(PortParsing, NaturalOrder) {
    const std::pair<const char*, const char*> less[] = {
        {"ttyS2", "ttyS10"}, {"ttyACM0", "ttyS0"}, {"ttyS1", "ttyS01x"},
        {"ttyUSB9", "ttyUSB10"}, {"a", "ab"}, {"ttyS02", "ttyS3"},
    };
    for (const auto& [a, b] : less) {
        EXPECT_TRUE(NaturalLess(a, b)) << a << " < " << b;
        EXPECT_FALSE(NaturalLess(b, a)) << b << " < " << a;
    }
    EXPECT_FALSE(NaturalLess("ttyS1", "ttyS1"));
}

struct Discovery : ::testing::Test {
    FakeDevices fake;
    void SetUp() override { ASSERT_TRUE(fake.BuildLaptop()); }
};

TEST_F(Discovery, FindsTheHardwarePortsInNaturalOrder) {
    const auto ports = DiscoverPorts(fake.roots);
    std::vector<std::string> names;
    for (const auto& p : ports) names.push_back(p.name);
    // tty0 (no device), ttyS1 (no UART) and ttyS3 (no UART, behind a port device) are left out.
    EXPECT_EQ(names, (std::vector<std::string>{"ttyACM0", "ttyS0", "ttyS2", "ttyS10", "ttyUSB0"}));
}

TEST_F(Discovery, UsbAdapterDetails) {
    const auto ports = DiscoverPorts(fake.roots);
    const SerialPortInfo& p = ports.back();
    ASSERT_EQ(p.name, "ttyUSB0");
    EXPECT_EQ(p.device, fake.dev + "/ttyUSB0");
    EXPECT_TRUE(p.usb);
    EXPECT_EQ(p.driver, "ftdi_sio");
    EXPECT_EQ(p.subsystem, "usb-serial");
    EXPECT_EQ(p.vendorId, "0403");
    EXPECT_EQ(p.productId, "6001");
    EXPECT_EQ(p.manufacturer, "FTDI");
    EXPECT_EQ(p.product, "FT232R USB UART");
    EXPECT_EQ(p.serial, "A1B2C3");
    EXPECT_EQ(p.byId, (std::vector<std::string>{fake.ById()}));
    EXPECT_EQ(p.byPath, (std::vector<std::string>{fake.dev + "/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0"}));
    EXPECT_EQ(p.StableName(), fake.ById());
    EXPECT_EQ(p.Description(), "FTDI FT232R USB UART, serial A1B2C3 (0403:6001, ftdi_sio)");
    EXPECT_EQ(FindByIdName("ttyUSB0", fake.roots), fake.ById());
    EXPECT_EQ(FindByIdName("ttyS0", fake.roots), "");
}

TEST_F(Discovery, AcmAndBuiltInPorts) {
    const auto ports = DiscoverPorts(fake.roots);
    const SerialPortInfo& acm = ports[0];
    EXPECT_TRUE(acm.usb);
    EXPECT_EQ(acm.driver, "cdc_acm");
    EXPECT_EQ(acm.product, "");  // no product file
    EXPECT_EQ(acm.Description(), "Arduino (www.arduino.cc), serial 7543 (2341:0043, cdc_acm)");
    EXPECT_EQ(acm.StableName(), acm.device);  // no by-id link
    const SerialPortInfo& s0 = ports[1];
    EXPECT_FALSE(s0.usb);
    EXPECT_EQ(s0.driver, "serial8250");
    EXPECT_EQ(s0.Description(), "serial port (serial8250)");
    const SerialPortInfo& s2 = ports[2];  // behind a serial-base port device
    EXPECT_EQ(s2.driver, "serial");
    EXPECT_EQ(s2.subsystem, "pnp");
}

TEST_F(Discovery, ComMappingAndTheListLine) {
    const auto ports = DiscoverPorts(fake.roots);
    const SerialPortInfo& usb = ports.back();
    PortMap map;
    map.Set(3, fake.ById());
    map.Set(5, fake.dev + "/ttyUSB0");
    map.Set(2, fake.dev + "/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0");
    map.Set(1, fake.dev + "/ttyS0");
    EXPECT_EQ(ComsMappedTo(usb, map), (std::vector<int>{2, 3, 5}));
    EXPECT_EQ(ComsMappedTo(ports[1], map), (std::vector<int>{1}));
    EXPECT_EQ(ComsMappedTo(ports[0], map), (std::vector<int>{}));
    EXPECT_EQ(FormatPortLine(usb, {3}),
              fake.dev + "/ttyUSB0 com=3 driver=ftdi_sio usb=0403:6001 vendor=\"FTDI\" product=\"FT232R USB UART\""
                         " serial=\"A1B2C3\" by-id=" + fake.ById() +
                  " by-path=" + fake.dev + "/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0");
    EXPECT_EQ(FormatPortLine(ports[1], {}), fake.dev + "/ttyS0 com=- driver=serial8250");
    SerialPortInfo odd = usb;
    odd.product = "say \"hi\"";
    odd.byId.clear();
    odd.byPath.clear();
    EXPECT_NE(FormatPortLine(odd, {1, 4}).find("com=1,4 "), std::string::npos);
    EXPECT_NE(FormatPortLine(odd, {}).find("product=\"say \\\"hi\\\"\""), std::string::npos);
}

TEST(DiscoveryEmpty, NoTreeNoPorts) {
    EXPECT_TRUE(DiscoverPorts(DeviceRoots{"/nonexistent/sys", "/nonexistent/dev"}).empty());
}

}  // namespace
