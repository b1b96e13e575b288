// Port discovery over a fake sysfs and /dev tree: which ttys count as ports, what each
// entry says about its device, and the order of the list.
#include "serial/PortDiscovery.h"
#include "FakeMachine.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace sorbel {
namespace {

using test::FakeMachine;

std::vector<std::string> paths(const std::vector<PortInfo>& ports) {
    std::vector<std::string> out;
    for (const auto& port : ports)
        out.push_back(port.path);
    return out;
}

const PortInfo* find(const std::vector<PortInfo>& ports, const std::string& path) {
    auto it =
        std::find_if(ports.begin(), ports.end(), [&](const PortInfo& p) { return p.path == path; });
    return it == ports.end() ? nullptr : &*it;
}

// A machine with what a real one has: USB adapters of both kinds, legacy ports with and
// without a UART, a board UART, virtual terminals.
class Discovery : public ::testing::Test {
protected:
    void SetUp() override {
        m.addUsbPort("ttyUSB0", "ftdi_sio", "1-1",
                     {"0403", "6001", "FTDI", "FT232R USB UART", "A50285BI"}, true);
        m.addByIdLink("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyUSB0");
        m.addUsbPort("ttyUSB10", "ch341-uart", "1-3", {"1a86", "7523", {}, "USB Serial", {}}, true);
        m.addUsbPort("ttyUSB2", "cp210x", "1-4",
                     {"10c4", "ea60", "Silicon Labs", "CP2102 USB to UART", "0001"}, true);
        m.addUsbPort("ttyACM0", "cdc_acm", "1-2",
                     {"2e8a", "000a", "Raspberry Pi", "Raspberry Pi Pico", "E66138935F3B2A26"},
                     false);
        m.addByIdLink("usb-Raspberry_Pi_Pico_E66138935F3B2A26-if00", "ttyACM0");
        m.addDevicePort("ttyS0", "00:05", "serial", 4);          // a 16550A on the board
        m.addDevicePort("ttyS1", "serial8250", "serial8250", 0); // placeholder, no UART
        m.addDevicePort("ttyAMA0", "fe201000.serial", "uart-pl011", std::nullopt);
        m.addVirtualTty("tty0");
        m.addVirtualTty("console");
    }

    FakeMachine m;
};

TEST_F(Discovery, ListsRealPortsOnlyInNaturalOrder) {
    const auto ports = discoverPorts(m.roots());
    EXPECT_EQ(paths(ports),
              (std::vector<std::string>{m.devPath("ttyACM0"), m.devPath("ttyAMA0"),
                                        m.devPath("ttyS0"), m.devPath("ttyUSB0"),
                                        m.devPath("ttyUSB2"), m.devPath("ttyUSB10")}));
}

TEST_F(Discovery, DescribesDriverUsbIdentityAndStableLink) {
    const auto ports = discoverPorts(m.roots());
    const std::string byId = (m.dev() / "serial" / "by-id").string() + "/";
    struct Case {
        std::string tty;
        std::string line; // describe(), after the path and two blanks
        std::string summary;
    };
    const Case cases[] = {
        {"ttyUSB0",
         "FTDI FT232R USB UART (USB 0403:6001, serial A50285BI, driver ftdi_sio, " + byId +
             "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0)",
         "FTDI FT232R USB UART"},
        // No manufacturer text, no serial number, no by-id link.
        {"ttyUSB10", "USB Serial (USB 1a86:7523, driver ch341-uart)", "USB Serial"},
        // The product text already names the manufacturer: it is not repeated.
        {"ttyACM0",
         "Raspberry Pi Pico (USB 2e8a:000a, serial E66138935F3B2A26, driver cdc_acm, " + byId +
             "usb-Raspberry_Pi_Pico_E66138935F3B2A26-if00)",
         "Raspberry Pi Pico"},
        {"ttyS0", "serial port (driver serial)", "serial"},
        {"ttyAMA0", "serial port (driver uart-pl011)", "uart-pl011"},
    };
    for (const auto& c : cases) {
        const PortInfo* port = find(ports, m.devPath(c.tty));
        ASSERT_NE(port, nullptr) << c.tty;
        EXPECT_EQ(port->describe(), m.devPath(c.tty) + "  " + c.line);
        EXPECT_EQ(port->summary(), m.devPath(c.tty) + " (" + c.summary + ")");
    }
}

TEST(DiscoveryLegacyPorts, CountOnlyWithHardwareBehindThem) {
    struct Case {
        const char* name;
        const char* device;
        const char* driver;
        std::optional<int> type;
        bool listed;
    };
    const Case cases[] = {
        {"ttyS0", "00:05", "serial", 4, true},                         // PnP 16550A
        {"ttyS1", "serial8250", "serial8250", 0, false},               // placeholder
        {"ttyS2", "serial8250", "serial8250", 4, true},                // found by probing
        {"ttyS3", "serial8250", "serial8250", std::nullopt, false},    // no type file
        {"ttyS4", "00:06", "serial", std::nullopt, true},              // real device
        {"ttyS5", "dw-apb-uart.0", "dw-apb-uart", 0, false},           // type unknown
        {"ttyS6", "dw-apb-uart.1", "dw-apb-uart", std::nullopt, true}, // board UART
        {"ttyS7", "serial8250", "serial8250", -1, false},              // unreadable type
        {"ttyS8", "serial8250/serial8250:0/serial8250:0.3", "port", std::nullopt, false},
        {"ttyS9", "serial8250/serial8250:0/serial8250:0.0", "port", 4, true},
    };
    for (const auto& c : cases) {
        FakeMachine m;
        m.addDevicePort(c.name, c.device, c.driver, c.type);
        const auto ports = discoverPorts(m.roots());
        EXPECT_EQ(ports.size(), c.listed ? 1u : 0u) << c.name;
    }
}

// Newer kernels: tty -> serial core port device -> its controller -> the UART's device.
TEST(DiscoveryDriver, IsTheHardwaresDriverAboveTheSerialCore) {
    FakeMachine m;
    m.addDevicePort("ttyS0", "00:00/00:00:0/00:00:0.0", "serial-base/port", 4);
    m.setDriver(m.platform("00:00/00:00:0"), "serial-base/ctrl");
    m.setDriver(m.platform("00:00"), "pnp/serial");
    m.addDevicePort("ttyS1", "00:01/00:01:0/00:01:0.0", "serial-base/port", 4); // none above
    const auto ports = discoverPorts(m.roots());
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].driver, "serial");
    EXPECT_EQ(ports[1].driver, "");
    EXPECT_EQ(ports[1].describe(), m.devPath("ttyS1") + "  serial port");
}

TEST_F(Discovery, PortWithoutDeviceNodeIsLeftOut) {
    m.removeNode("ttyUSB2");
    const auto ports = discoverPorts(m.roots());
    EXPECT_EQ(find(ports, m.devPath("ttyUSB2")), nullptr);
    EXPECT_NE(find(ports, m.devPath("ttyUSB0")), nullptr);
}

TEST_F(Discovery, DanglingOrForeignByIdLinksAreIgnored) {
    m.addByIdLink("usb-gone-if00-port0", "ttyUSB9");
    FakeMachine::writeFile(m.dev() / "ttyX", "");
    m.addByIdLink("usb-other-if00", "ttyX");
    const auto ports = discoverPorts(m.roots());
    EXPECT_EQ(ports.size(), 6u);
    EXPECT_EQ(find(ports, m.devPath("ttyUSB10"))->byIdLink, "");
}

TEST(DiscoveryUsbTexts, ControlCharactersAndBlanksFromTheDeviceAreTamed) {
    FakeMachine m;
    m.addUsbPort("ttyUSB0", "pl2303", "1-1",
                 {"067b", "2303", "  Prolific\t", "USB\x1b[2J-Serial\x07", "x\ry"}, true);
    const auto ports = discoverPorts(m.roots());
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].manufacturer, "Prolific");
    EXPECT_EQ(ports[0].product, "USB?[2J-Serial?");
    EXPECT_EQ(ports[0].serialNumber, "x?y");
}

TEST(DiscoveryRootsMissing, GiveAnEmptyList) {
    EXPECT_TRUE(discoverPorts({"/nonexistent/sys", "/nonexistent/dev"}).empty());
    FakeMachine m; // class/tty present but empty, no serial/by-id folder
    EXPECT_TRUE(discoverPorts(m.roots()).empty());
}

} // namespace
} // namespace sorbel
