// PortDiscovery over sysfs and /dev/serial/by-id; the contract is in PortDiscovery.h.
//
// Every file-system call takes an error_code: a tree that changes while it is read (a
// device unplugged mid-way) loses that port, never the whole list.
#include "serial/PortDiscovery.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

namespace sorbel {

namespace fs = std::filesystem;

namespace {

// The first line of a small sysfs file, blanks trimmed, control characters shown as '?'
// (USB strings come from the device and may hold anything); empty when unreadable.
std::string readAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return {};
    }
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = line.find_last_not_of(" \t\r");
    std::string text = line.substr(first, last - first + 1);
    for (char& c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            c = '?';
        }
    }
    return text;
}

// DEVNAME from a uevent file ("ttyUSB0", or a name in a subfolder); empty when absent.
std::string ueventDevName(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with("DEVNAME=")) {
            return line.substr(8);
        }
    }
    return {};
}

// The driver of a tty's device ("ftdi_sio"). Newer kernels put the serial core's own
// "port" and "ctrl" devices (bus serial-base) between a UART's device and its tty: the
// driver that names the hardware is the first one above them.
std::string driverName(const fs::path& device) {
    std::error_code error;
    fs::path folder = fs::canonical(device, error);
    if (error) {
        return {};
    }
    for (int depth = 0; depth < 4 && folder.has_relative_path(); ++depth) {
        const fs::path target = fs::read_symlink(folder / "driver", error);
        if (error) {
            return {};
        }
        const bool serialCore = std::any_of(target.begin(), target.end(), [](const fs::path& part) {
            return part == "serial-base";
        });
        if (!serialCore) {
            return target.filename().string();
        }
        folder = folder.parent_path();
    }
    return {};
}

bool isLegacyName(const std::string& name) {
    if (!name.starts_with("ttyS") || name.size() == 4) {
        return false;
    }
    return std::all_of(name.begin() + 4, name.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

// Whether a ttySn has a UART behind it. The 8250 driver registers a platform placeholder
// "serial8250" for every possible port; a port's "type" is 0 (unknown) until hardware is
// found.
bool legacyPortHasHardware(const fs::path& ttyEntry, const fs::path& device) {
    const std::string type = readAttribute(ttyEntry / "type");
    if (!type.empty() && std::all_of(type.begin(), type.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        return type.find_first_not_of('0') != std::string::npos;
    }
    // Without the type file: the placeholder itself, or a port device below it (newer
    // kernels put serial8250:0.N there), counts as no hardware.
    std::error_code error;
    const fs::path real = fs::canonical(device, error);
    if (error) {
        return false;
    }
    return std::none_of(real.begin(), real.end(),
                        [](const fs::path& part) { return part == "serial8250"; });
}

// Fills the USB identity from the nearest USB device (the folder holding idVendor) at or
// above the tty's device, looking no higher than the sysfs root.
void readUsbIdentity(const fs::path& device, const fs::path& sysRoot, PortInfo& port) {
    std::error_code error;
    fs::path folder = fs::canonical(device, error);
    if (error) {
        return;
    }
    const fs::path top = fs::canonical(sysRoot, error);
    if (error) {
        return;
    }
    for (; folder.has_relative_path() && folder != top; folder = folder.parent_path()) {
        if (fs::is_regular_file(folder / "idVendor", error)) {
            port.vendorId = readAttribute(folder / "idVendor");
            port.productId = readAttribute(folder / "idProduct");
            port.manufacturer = readAttribute(folder / "manufacturer");
            port.product = readAttribute(folder / "product");
            port.serialNumber = readAttribute(folder / "serial");
            return;
        }
    }
}

// by-id links keyed by the node they resolve to; the first link by name wins.
std::map<fs::path, std::string> byIdLinks(const fs::path& devRoot) {
    std::map<fs::path, std::string> links;
    std::error_code error;
    std::vector<fs::path> names;
    for (fs::directory_iterator it(devRoot / "serial" / "by-id", error), end; !error && it != end;
         it.increment(error)) {
        names.push_back(it->path());
    }
    std::sort(names.begin(), names.end());
    for (const auto& link : names) {
        const fs::path target = fs::canonical(link, error);
        if (!error) {
            links.emplace(target, link.string());
        }
    }
    return links;
}

// "ttyUSB2" < "ttyUSB10": runs of digits compare as numbers.
bool naturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            std::size_t endA = i;
            std::size_t endB = j;
            while (endA < a.size() && digit(a[endA])) {
                ++endA;
            }
            while (endB < b.size() && digit(b[endB])) {
                ++endB;
            }
            std::string numA = a.substr(i, endA - i);
            std::string numB = b.substr(j, endB - j);
            numA.erase(0, std::min(numA.find_first_not_of('0'), numA.size()));
            numB.erase(0, std::min(numB.find_first_not_of('0'), numB.size()));
            if (numA.size() != numB.size()) {
                return numA.size() < numB.size();
            }
            if (numA != numB) {
                return numA < numB;
            }
            i = endA;
            j = endB;
        } else {
            if (a[i] != b[j]) {
                return a[i] < b[j];
            }
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// "FTDI FT232R USB UART"; the manufacturer is left out when the product text names it.
std::string title(const PortInfo& port) {
    if (port.product.empty()) {
        return port.manufacturer;
    }
    if (port.manufacturer.empty() || port.product.starts_with(port.manufacturer)) {
        return port.product;
    }
    return port.manufacturer + " " + port.product;
}

} // namespace

std::string PortInfo::describe() const {
    std::vector<std::string> details;
    if (!vendorId.empty() || !productId.empty()) {
        details.push_back("USB " + vendorId + ":" + productId);
    }
    if (!serialNumber.empty()) {
        details.push_back("serial " + serialNumber);
    }
    if (!driver.empty()) {
        details.push_back("driver " + driver);
    }
    if (!byIdLink.empty()) {
        details.push_back(byIdLink);
    }
    std::string name = title(*this);
    std::string line = path + "  " + (name.empty() ? std::string("serial port") : name);
    if (!details.empty()) {
        line += " (";
        for (std::size_t i = 0; i < details.size(); ++i) {
            line += (i == 0 ? "" : ", ") + details[i];
        }
        line += ")";
    }
    return line;
}

std::string PortInfo::summary() const {
    std::string name = title(*this);
    if (name.empty()) {
        name = driver;
    }
    return name.empty() ? path : path + " (" + name + ")";
}

std::vector<PortInfo> discoverPorts(const DiscoveryRoots& roots) {
    std::vector<PortInfo> ports;
    const fs::path sysRoot = roots.sys;
    const fs::path devRoot = roots.dev;
    std::error_code error;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(sysRoot / "class" / "tty", error), end; !error && it != end;
         it.increment(error)) {
        entries.push_back(it->path());
    }
    const auto links = byIdLinks(devRoot);
    for (const auto& entry : entries) {
        const std::string name = entry.filename().string();
        const fs::path device = entry / "device";
        if (!fs::exists(device, error)) {
            continue; // virtual terminals, pseudo-terminals, the console
        }
        if (isLegacyName(name) && !legacyPortHasHardware(entry, device)) {
            continue;
        }
        std::string devName = ueventDevName(entry / "uevent");
        if (devName.empty() || devName.find("..") != std::string::npos) {
            devName = name;
        }
        const fs::path node = devRoot / devName;
        if (!fs::exists(node, error)) {
            continue;
        }
        PortInfo port;
        port.path = node.string();
        port.driver = driverName(device);
        readUsbIdentity(device, sysRoot, port);
        if (const fs::path real = fs::canonical(node, error); !error) {
            if (auto link = links.find(real); link != links.end()) {
                port.byIdLink = link->second;
            }
        }
        ports.push_back(std::move(port));
    }
    std::sort(ports.begin(), ports.end(),
              [](const PortInfo& a, const PortInfo& b) { return naturalLess(a.path, b.path); });
    return ports;
}

} // namespace sorbel
