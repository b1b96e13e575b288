// PortErrors: the second line of "Communication Port Error." when the device will not open,
// telling the operator why and what to do about it.
//
// Contract (plain functions, no state; deviceGroup() and the lookups only read the user and
// group databases and stat() the device):
//  - permissionReason(label, group): permission denied. Names the device's group (by name,
//    or by number when the group has no name) and says how to join it
//    ("sudo usermod -aG <group> $USER", then log out and in again); says instead that a new
//    login is needed when the user has joined the group but this session started before,
//    and that the device refuses its own group when the process already has it.
//  - busyReason(label): another program holds the port.
//  - absentReason(label, systemText, found): the device is absent; lists the ports found
//    (PortInfo::summary()) or says that none were found.
//  - isAbsentError(errno): ENOENT, ENODEV and ENXIO (a legacy port with no UART behind it).
#pragma once

#include "serial/PortDiscovery.h"

#include <string>
#include <vector>

namespace sorbel {

struct DeviceGroup {
    bool known = false;        // false when the device could not be examined
    unsigned gid = 0;          // the device's group
    std::string name;          // its name; empty when the group database has none
    bool processHasIt = false; // this process runs with that group
    bool userIsListed = false; // the user is a member in the group database
};

// The group of the device at path, and how the running user stands with it.
DeviceGroup deviceGroup(const std::string& path);

std::string permissionReason(const std::string& label, const DeviceGroup& group);
std::string busyReason(const std::string& label);
std::string absentReason(const std::string& label, const std::string& systemText,
                         const std::vector<PortInfo>& found);
bool isAbsentError(int error);

} // namespace sorbel
