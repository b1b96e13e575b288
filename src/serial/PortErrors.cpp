// The reasons a port will not open, as the operator reads them; the contract is in
// PortErrors.h. The lookups use the reentrant database calls: the worker thread asks.
#include "serial/PortErrors.h"

#include <algorithm>
#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sorbel {

namespace {

// Calls lookup with a buffer that grows until the entry fits; false when there is none.
template <class Entry, class Lookup>
bool lookUp(Entry& entry, std::vector<char>& buffer, Lookup lookup) {
    buffer.resize(1024);
    for (;;) {
        Entry* found = nullptr;
        int error = lookup(&entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        return error == 0 && found != nullptr;
    }
}

bool processHasGroup(gid_t gid) {
    if (::getegid() == gid) {
        return true;
    }
    int count = ::getgroups(0, nullptr);
    if (count <= 0) {
        return false;
    }
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    count = ::getgroups(count, groups.data());
    return count > 0 && std::find(groups.begin(), groups.begin() + count, gid) != groups.end();
}

std::string groupText(const DeviceGroup& group) {
    return group.name.empty() ? std::to_string(group.gid) : group.name;
}

} // namespace

DeviceGroup deviceGroup(const std::string& path) {
    DeviceGroup result;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return result;
    }
    result.known = true;
    result.gid = info.st_gid;
    result.processHasIt = processHasGroup(info.st_gid);

    std::vector<char> groupBuffer;
    struct group entry {};
    if (!lookUp(entry, groupBuffer, [&](struct group* e, char* b, std::size_t n, struct group** f) {
            return ::getgrgid_r(info.st_gid, e, b, n, f);
        })) {
        return result;
    }
    result.name = entry.gr_name != nullptr ? entry.gr_name : "";

    std::vector<char> userBuffer;
    struct passwd user {};
    if (!lookUp(user, userBuffer, [](struct passwd* e, char* b, std::size_t n, struct passwd** f) {
            return ::getpwuid_r(::geteuid(), e, b, n, f);
        })) {
        return result;
    }
    if (user.pw_gid == info.st_gid) {
        result.userIsListed = true;
    }
    for (char** member = entry.gr_mem; member != nullptr && *member != nullptr; ++member) {
        if (user.pw_name != nullptr && std::string(*member) == user.pw_name) {
            result.userIsListed = true;
        }
    }
    return result;
}

std::string permissionReason(const std::string& label, const DeviceGroup& group) {
    const std::string start = label + ": Permission denied";
    if (!group.known) {
        return start + " (the user may need to join the dialout group: sudo usermod -aG "
                       "dialout $USER, then log out and in again)";
    }
    const std::string name = groupText(group);
    if (group.processHasIt) {
        return start + ", although this program runs with the device's group " + name +
               ": the device's permissions refuse that group";
    }
    if (group.userIsListed) {
        return start + ": the user has joined the device's group " + name +
               ", but this login session started before that; log out and in again";
    }
    return start + ": the device belongs to group " + name +
           ", which the user is not in; join it with: sudo usermod -aG " + name +
           " $USER, then log out and in again";
}

std::string busyReason(const std::string& label) {
    return label + " is in use by another program; close that program and try again";
}

std::string absentReason(const std::string& label, const std::string& systemText,
                         const std::vector<PortInfo>& found) {
    std::string text = label + ": " + systemText + ": the port is absent. ";
    if (found.empty()) {
        return text + "No serial ports were found.";
    }
    text += "Serial ports found: ";
    for (std::size_t i = 0; i < found.size(); ++i) {
        text += (i == 0 ? "" : ", ") + found[i].summary();
    }
    return text + ".";
}

bool isAbsentError(int error) {
    return error == ENOENT || error == ENODEV || error == ENXIO;
}

} // namespace sorbel
