// A second program on the port: another sorbel-cli in the middle of its download, or any
// process that holds the device under an flock. The newcomer is told at once that the port
// is in use, touches nothing on the line, and the holder's download goes on undisturbed.
#include "CliRunner.h"
#include "FaultBench.h"

#include "loader/CommandPacket.h"
#include "loader/SerialThread.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sorbel::faults {
namespace {

constexpr auto inUse = "is in use by another program";

TEST(PortHeld, SecondCliIsToldThePortIsInUseAndTheFirstDownloadsUndisturbed) {
    TempDir dir;
    const auto records = sixRecords();
    const fs::path hex = dir.path() / "six.hex";
    writeText(hex, hexText(records));
    // Silent to wake bytes: the first program holds the port in its identification wait
    // until the test sends the text, after the second program has come and gone.
    sim::TargetOptions options;
    options.idText = "";
    auto target = startTarget(options);
    const std::vector<std::string> arguments = {"-p",   target->portPath(), "-b",
                                                "9600", "--verify",         hex.string()};

    CliRun holder;
    std::thread first([&] { holder = runCli(arguments); });
    ASSERT_TRUE(target->waitFor([&] { return target->wakeBytesReceived() >= 1; }, waitLimit));

    const CliRun second = runCli(arguments, std::chrono::seconds(20));
    EXPECT_EQ(second.result.exitStatus, 3) << second.result.err;
    EXPECT_NE(second.result.err.find("Communication Port Error."), std::string::npos);
    EXPECT_NE(second.result.err.find(inUse), std::string::npos) << second.result.err;
    EXPECT_LT(second.ended - second.started, std::chrono::seconds(10));
    EXPECT_TRUE(target->packets().empty());

    target->sendRaw(std::vector<std::uint8_t>(
        identificationText, identificationText + std::strlen(identificationText)));
    first.join();
    EXPECT_EQ(holder.result.exitStatus, 0) << holder.result.out << holder.result.err;
    EXPECT_TRUE(holds(target->flash(), records));
    // Exactly the holder's commands, each once: three erases, six writes, six verifies.
    EXPECT_EQ(target->packets().size(), 15u);
    EXPECT_EQ(target->resyncFrames(), 0);
}

TEST(PortHeld, DeviceUnderAnotherProcesssFlockIsRefusedUntilItLetsGo) {
    TempDir dir;
    const auto records = sixRecords();
    const fs::path hex = dir.path() / "six.hex";
    writeText(hex, hexText(records));
    auto target = startTarget();
    const std::string port = target->portPath();

    // The holder: a child process that opens the device, locks it and waits for the word
    // to let go. Only async-signal-safe calls after fork.
    int locked[2];
    int release[2];
    ASSERT_EQ(::pipe2(locked, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(locked[0]);
        ::close(release[1]);
        const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        const char ok = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
        (void)!::write(locked[1], &ok, 1);
        char ignored;
        (void)!::read(release[0], &ignored, 1);
        ::_exit(0);
    }
    ::close(locked[1]);
    ::close(release[0]);
    char ok = 0;
    ASSERT_EQ(::read(locked[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');

    const std::vector<std::string> arguments = {"-p", port, "-b", "9600", "--verify", hex.string()};
    const CliRun refused = runCli(arguments, std::chrono::seconds(20));
    EXPECT_EQ(refused.result.exitStatus, 3) << refused.result.err;
    EXPECT_NE(refused.result.err.find(inUse), std::string::npos) << refused.result.err;
    EXPECT_EQ(target->wakeBytesReceived(), 0);
    EXPECT_TRUE(target->packets().empty());

    ::close(release[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(locked[0]);
    const CliRun after = runCli(arguments);
    EXPECT_EQ(after.result.exitStatus, 0) << after.result.err;
    EXPECT_TRUE(holds(target->flash(), records));
}

} // namespace
} // namespace sorbel::faults
