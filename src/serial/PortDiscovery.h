// PortDiscovery: the serial ports present on this machine, for the port lists of the
// command line and the configuration dialog, and for the message about an absent port.
//
// Contract:
//  - discoverPorts(roots) reads sysfs (<sys>/class/tty/*/device) and the links in
//    <dev>/serial/by-id; it never opens a port, never prints and never throws. A tty counts
//    as a port when it has a device behind it and its node exists under <dev>. Legacy 8250
//    ports (ttyS*) count only with real hardware behind them: a non-zero UART type in
//    <sys>/class/tty/ttySn/type, or, where that file is missing, a device other than the
//    platform "serial8250" placeholder that the kernel registers for every possible port.
//  - The result is sorted by path, numbers compared as numbers (ttyUSB2 before ttyUSB10).
//    Each entry names the node as a program opens it (<dev>/ttyUSB0), the kernel driver,
//    the USB identity (vendor:product ids, manufacturer and product texts, serial number)
//    when the port sits on a USB device, and the /dev/serial/by-id link when there is one.
//  - describe() gives one line of text for a port, path first, the way --list-ports prints
//    it; summary() the short form that a message names the port with.
//  - Roots default to the machine's; tests point them at a fake tree in a temporary folder.
#pragma once

#include <string>
#include <vector>

namespace sorbel {

struct DiscoveryRoots {
    std::string sys = "/sys";
    std::string dev = "/dev";
};

struct PortInfo {
    std::string path;         // "/dev/ttyUSB0"
    std::string driver;       // "ftdi_sio", "cdc_acm", "serial8250"; empty when unknown
    std::string vendorId;     // USB idVendor, "0403"; empty when not on USB
    std::string productId;    // USB idProduct, "6001"
    std::string manufacturer; // USB manufacturer text, "FTDI"
    std::string product;      // USB product text, "FT232R USB UART"
    std::string serialNumber; // USB serial number; empty when the device has none
    std::string byIdLink;     // "/dev/serial/by-id/usb-FTDI_..."; empty when there is none

    // "/dev/ttyUSB0  FTDI FT232R USB UART (USB 0403:6001, serial A50285BI, driver
    // ftdi_sio, /dev/serial/by-id/usb-FTDI_...)", all on one line.
    std::string describe() const;
    // "/dev/ttyUSB0 (FTDI FT232R USB UART)", or the path alone when nothing names it.
    std::string summary() const;
};

std::vector<PortInfo> discoverPorts(const DiscoveryRoots& roots = {});

} // namespace sorbel
