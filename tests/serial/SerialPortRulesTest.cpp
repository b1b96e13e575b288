// The serial port's pure rules: port names, the baud text, the time-outs.
#include "serial/SerialPort.h"

#include <gtest/gtest.h>

#include <climits>

namespace sorbel {
namespace {

TEST(SerialPortRules, PortNamesMapToDevices) {
    struct Case {
        const char* name;
        const char* device;
    };
    const Case cases[] = {
        {"COM1", "/dev/ttyS0"},
        {"COM4", "/dev/ttyS3"},
        {"COM10", "/dev/ttyS9"},
        {"COM256", "/dev/ttyS255"},
        {"com2", "/dev/ttyS1"},
        {"\\\\.\\COM12", "/dev/ttyS11"},
        {"COM0", "/dev/COM0"}, // no COM0: left as a bare name, which then does not exist
        {"COM1x", "/dev/COM1x"},
        {"COM", "/dev/COM"},
        {"/dev/pts/7", "/dev/pts/7"},
        {"/tmp/my line", "/tmp/my line"},
        {"ttyUSB0", "/dev/ttyUSB0"},
        {"serial/by-id/usb-FTDI-if00", "/dev/serial/by-id/usb-FTDI-if00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SerialPort::deviceName(c.name), c.device) << "port name " << c.name;
    }
}

TEST(SerialPortRules, BaudTextReadLikeAtoi) {
    struct Case {
        const char* text;
        long baud;
    };
    const Case cases[] = {
        {"9600", 9600},
        {"  115200", 115200},
        {"\t+38400", 38400},
        {"19200 baud", 19200},
        {"12 34", 12},
        {"-9600", -9600},
        {"", 0},
        {"abc", 0},
        {"+", 0},
        {"0x10", 0},
        {"99999999999999999999999", LONG_MAX},
        {"-99999999999999999999999", LONG_MIN},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SerialPort::parseBaud(c.text), c.baud) << "baud text \"" << c.text << "\"";
    }
}

// The limits for a 1-byte and a 24-byte read at every rate the configuration dialog offers.
TEST(SerialPortRules, TimeoutsFollowTheRate) {
    struct Case {
        long baud;
        long oneByte;
        long twentyFourBytes;
    };
    const Case cases[] = {
        {300, 6674, 6835}, {600, 3338, 3430}, {1200, 1669, 1715}, {2400, 835, 858},
        {4800, 418, 441},  {9600, 210, 233},  {19200, 106, 129},  {38400, 54, 77},
        {115200, 19, 42},  {230400, 10, 33},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SerialPort::readTimeout(1, c.baud).count(), c.oneByte) << c.baud << " baud";
        EXPECT_EQ(SerialPort::readTimeout(24, c.baud).count(), c.twentyFourBytes)
            << c.baud << " baud";
    }
    // Large counts at the slowest rate do not overflow.
    EXPECT_EQ(SerialPort::readTimeout(UINT32_MAX, 1).count(), 4294967295LL * 2001 + 2000001);
    EXPECT_EQ(SerialPort::readTimeout(24, 0).count(), 0);
    // Writes: 10 ms a byte plus 5 s, the 25-byte resynchronisation frame included.
    EXPECT_EQ(SerialPort::writeTimeout(25).count(), 5250);
    EXPECT_EQ(SerialPort::writeTimeout(UINT32_MAX).count(), 4294967295LL * 10 + 5000);
}

} // namespace
} // namespace sorbel
