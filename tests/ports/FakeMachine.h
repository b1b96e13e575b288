// FakeMachine: a sysfs and /dev tree in a temporary folder, laid out as the kernel lays
// out the real ones (class links into the device tree, driver links, USB attributes on the
// USB device above the interface), so discovery can be tested without the machine's ports.
// Device nodes are empty files: discovery only looks for them.
#pragma once

#include "serial/PortDiscovery.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace sorbel::test {

class FakeMachine {
public:
    FakeMachine() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "sorbel-ports-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr)
            root_ = pattern;
        std::filesystem::create_directories(sys() / "class" / "tty");
        std::filesystem::create_directories(dev());
    }
    ~FakeMachine() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    FakeMachine(const FakeMachine&) = delete;
    FakeMachine& operator=(const FakeMachine&) = delete;

    std::filesystem::path sys() const { return root_ / "sys"; }
    std::filesystem::path dev() const { return root_ / "dev"; }
    DiscoveryRoots roots() const { return {sys().string(), dev().string()}; }

    struct Usb {
        std::string vendor, product;
        std::optional<std::string> manufacturer, productName, serial;
    };

    // A USB serial port: the USB device usbName holds the identity; the interface below it
    // (or, for usb-serial drivers, the port device below the interface) is the tty's device.
    void addUsbPort(const std::string& tty, const std::string& driver, const std::string& usbName,
                    const Usb& usb, bool portDeviceLevel) {
        const auto usbDevice = sys() / "devices" / "pci0000:00" / "usb1" / usbName;
        std::filesystem::create_directories(usbDevice);
        writeFile(usbDevice / "idVendor", usb.vendor + "\n");
        writeFile(usbDevice / "idProduct", usb.product + "\n");
        if (usb.manufacturer)
            writeFile(usbDevice / "manufacturer", *usb.manufacturer + "\n");
        if (usb.productName)
            writeFile(usbDevice / "product", *usb.productName + "\n");
        if (usb.serial)
            writeFile(usbDevice / "serial", *usb.serial + "\n");
        auto device = usbDevice / (usbName + ":1.0");
        if (portDeviceLevel)
            device /= tty;
        addTty(tty, device, driver);
    }

    // A port on a platform or PnP device, with the 8250 "type" file when type is given.
    void addDevicePort(const std::string& tty, const std::string& deviceName,
                       const std::string& driver, std::optional<int> type) {
        addTty(tty, sys() / "devices" / "platform" / deviceName, driver);
        if (type)
            writeFile(classEntry(tty) / "type", std::to_string(*type) + "\n");
    }

    // A tty with no device behind it (virtual terminal, console).
    void addVirtualTty(const std::string& tty) {
        const auto folder = sys() / "devices" / "virtual" / "tty" / tty;
        std::filesystem::create_directories(folder);
        writeFile(folder / "uevent", "MAJOR=4\nDEVNAME=" + tty + "\n");
        std::filesystem::create_directory_symlink(folder, sys() / "class" / "tty" / tty);
        writeFile(dev() / tty, "");
    }

    void addByIdLink(const std::string& name, const std::string& tty) {
        std::filesystem::create_directories(dev() / "serial" / "by-id");
        std::filesystem::create_symlink("../../" + tty, dev() / "serial" / "by-id" / name);
    }

    // Links a device folder to a driver; "bus/name" names the bus, a bare name means
    // "platform".
    void setDriver(const std::filesystem::path& device, const std::string& driver) {
        const auto slash = driver.find('/');
        const std::string bus = slash == std::string::npos ? "platform" : driver.substr(0, slash);
        const std::string name = slash == std::string::npos ? driver : driver.substr(slash + 1);
        const auto folder = sys() / "bus" / bus / "drivers" / name;
        std::filesystem::create_directories(folder);
        std::filesystem::create_directory_symlink(folder, device / "driver");
    }

    std::filesystem::path platform(const std::string& name) const {
        return sys() / "devices" / "platform" / name;
    }

    void removeNode(const std::string& tty) { std::filesystem::remove(dev() / tty); }

    std::string devPath(const std::string& tty) const { return (dev() / tty).string(); }

    static void writeFile(const std::filesystem::path& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }

private:
    std::filesystem::path classEntry(const std::string& tty) const {
        return sys() / "class" / "tty" / tty;
    }

    void addTty(const std::string& tty, const std::filesystem::path& device,
                const std::string& driver) {
        namespace fs = std::filesystem;
        fs::create_directories(device);
        setDriver(device, driver);
        const auto folder = device / "tty" / tty;
        fs::create_directories(folder);
        writeFile(folder / "uevent", "MAJOR=188\nMINOR=0\nDEVNAME=" + tty + "\n");
        fs::create_directory_symlink(device, folder / "device");
        fs::create_directory_symlink(folder, classEntry(tty));
        writeFile(dev() / tty, "");
    }

    std::filesystem::path root_;
};

} // namespace sorbel::test
