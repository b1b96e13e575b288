// What the operator is told when a device will not open: the group to join, the program
// that holds the port, the ports that are there instead.
#include "serial/PortErrors.h"
#include "FakeMachine.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace sorbel {
namespace {

TEST(PermissionReason, NamesTheGroupAndWhatToDo) {
    struct Case {
        const char* what;
        DeviceGroup group;
        std::string text;
    };
    const std::string port = "COM1 (/dev/ttyS0): Permission denied";
    const Case cases[] = {
        {"not a member",
         {true, 20, "dialout", false, false},
         port + ": the device belongs to group dialout, which the user is not in; join it "
                "with: sudo usermod -aG dialout $USER, then log out and in again"},
        {"other group",
         {true, 986, "uucp", false, false},
         port + ": the device belongs to group uucp, which the user is not in; join it with: "
                "sudo usermod -aG uucp $USER, then log out and in again"},
        {"group without a name",
         {true, 4242, "", false, false},
         port + ": the device belongs to group 4242, which the user is not in; join it with: "
                "sudo usermod -aG 4242 $USER, then log out and in again"},
        {"joined, old session",
         {true, 20, "dialout", false, true},
         port + ": the user has joined the device's group dialout, but this login session "
                "started before that; log out and in again"},
        {"has the group",
         {true, 20, "dialout", true, true},
         port + ", although this program runs with the device's group dialout: the device's "
                "permissions refuse that group"},
        {"device not examined",
         {},
         port + " (the user may need to join the dialout group: sudo usermod -aG dialout "
                "$USER, then log out and in again)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(permissionReason("COM1 (/dev/ttyS0)", c.group), c.text) << c.what;
}

TEST(DeviceGroup, ReadsTheGroupOfTheDevice) {
    test::FakeMachine m;
    m.addVirtualTty("ttyX");
    const std::string node = m.devPath("ttyX");
    struct stat info {};
    ASSERT_EQ(::stat(node.c_str(), &info), 0);
    const DeviceGroup group = deviceGroup(node);
    EXPECT_TRUE(group.known);
    EXPECT_EQ(group.gid, info.st_gid);
    EXPECT_TRUE(group.processHasIt); // a file this process made has its group

    EXPECT_FALSE(deviceGroup(m.devPath("absent")).known);
}

TEST(AbsentReason, ListsThePortsFoundOrSaysThereAreNone) {
    PortInfo usb;
    usb.path = "/dev/ttyUSB0";
    usb.manufacturer = "FTDI";
    usb.product = "FT232R USB UART";
    usb.driver = "ftdi_sio";
    PortInfo board;
    board.path = "/dev/ttyS0";
    board.driver = "serial";
    PortInfo bare;
    bare.path = "/dev/ttyX0";

    EXPECT_EQ(absentReason("COM3 (/dev/ttyS2)", "No such device or address", {usb, board, bare}),
              "COM3 (/dev/ttyS2): No such device or address: the port is absent. Serial ports "
              "found: /dev/ttyUSB0 (FTDI FT232R USB UART), /dev/ttyS0 (serial), /dev/ttyX0.");
    EXPECT_EQ(absentReason("/dev/ttyUSB1", "No such file or directory", {}),
              "/dev/ttyUSB1: No such file or directory: the port is absent. No serial ports "
              "were found.");
}

TEST(AbsentReason, CoversTheErrorsOfAMissingDevice) {
    for (int e : {ENOENT, ENODEV, ENXIO})
        EXPECT_TRUE(isAbsentError(e)) << e;
    for (int e : {EACCES, EBUSY, EIO, EISDIR, 0})
        EXPECT_FALSE(isAbsentError(e)) << e;
}

} // namespace
} // namespace sorbel
