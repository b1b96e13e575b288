// The serial port over a pseudo-terminal pair: the test holds the master and plays the
// target; the port opens the slave.
#include "../ports/FakeMachine.h"
#include "LineSpeedProbe.h"
#include "PtyPair.h"
#include "serial/SerialPort.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace sorbel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous allowance over a time-out for a loaded machine.
constexpr auto lateness = 3000ms;
// How long a test waits for another process or thread before it gives up.
constexpr auto patience = 10s;

template <class F> std::chrono::milliseconds timed(F&& f) {
    auto start = Clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// Runs child in a forked process; its exit code, or -1 when it did not end within patience
// (it is then killed).
int runInChild(const std::function<int()>& child) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(child());
    }
    if (pid < 0) {
        return -1;
    }
    const auto deadline = Clock::now() + patience;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(5ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Reads one byte from fd within patience; false when none came.
bool readWithin(int fd, char& c) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(patience).count())) == 1 &&
           ::read(fd, &c, 1) == 1;
}

class SerialLine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(pty.slavePath().empty());
        port.setMessageSink(&sink);
    }
    int openPort(const std::string& baud = "115200") { return port.open(pty.slavePath(), baud); }

    test::PtyPair pty;
    test::RecordingSink sink;
    SerialPort port;
};

TEST_F(SerialLine, OpenSetsRawEightNOneAndCloseRestoresTheLine) {
    termios before{};
    ASSERT_EQ(::tcgetattr(pty.master(), &before), 0); // the slave's settings
    ASSERT_EQ(openPort("9600"), 1);
    EXPECT_EQ(port.isOpen(), 1);

    termios line{};
    ASSERT_EQ(::tcgetattr(pty.master(), &line), 0);
    EXPECT_EQ(::cfgetospeed(&line), B9600);
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(line.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP | INPCK), 0u);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);

    EXPECT_EQ(port.close(), 1);
    termios after{};
    ASSERT_EQ(::tcgetattr(pty.master(), &after), 0);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(SerialLine, RatesWithAndWithoutATermiosConstantReachTheLine) {
    struct Case {
        const char* text;
        unsigned long baud;
    };
    const Case cases[] = {
        {"9600", 9600},   {"115200", 115200}, {" 300 baud", 300},
        {"12345", 12345}, {"250000", 250000},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(openPort(c.text), 1) << c.text;
        EXPECT_EQ(lineSpeed(pty.master()), c.baud) << c.text;
        EXPECT_EQ(port.baudRate(), static_cast<long>(c.baud)) << c.text;
        EXPECT_EQ(port.close(), 1);
    }
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(SerialLine, BadBaudTextIsRefusedWithItsTextBeforeTheLineIsTouched) {
    termios before{};
    ASSERT_EQ(::tcgetattr(pty.master(), &before), 0);
    const char* texts[] = {"", "abc", "0", "-9600", "  -1", "+0x10"};
    for (const char* text : texts) {
        sink.messages.clear();
        EXPECT_EQ(openPort(text), 0) << text;
        EXPECT_EQ(port.isOpen(), 0);
        ASSERT_EQ(sink.messages.size(), 1u) << text;
        EXPECT_EQ(sink.firstLine(), "Unable to set the time-out parameters");
        EXPECT_NE(sink.messages[0].find("\"" + std::string(text) + "\""), std::string::npos)
            << sink.messages[0];
    }
    termios after{};
    ASSERT_EQ(::tcgetattr(pty.master(), &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
}

TEST_F(SerialLine, UnusablePortsAreRefusedNamingThePortAndTheCause) {
    char regular[] = "/tmp/sorbel-serial-test-XXXXXX";
    int file = ::mkstemp(regular);
    ASSERT_GE(file, 0);
    ::close(file);

    struct Case {
        std::string name;
        std::string reason; // a part of the second line
    };
    const Case cases[] = {
        {"", "Port setting is empty"},
        {"COM1\n", "\"COM1\\x0A\""},
        {"tty\x1b[2J", "\"tty\\x1B[2J\""},
        {"/dev/sorbel-no-such-port", "/dev/sorbel-no-such-port: No such file or directory"},
        {"sorbel-no-such-port", "sorbel-no-such-port (/dev/sorbel-no-such-port): No such file"},
        {"COM1 ", "\"COM1 \" (/dev/COM1 ): No such file"},
        {regular, std::string(regular) + " is not a serial port"},
        {"/tmp", "/tmp: Is a directory"},
    };
    for (const auto& c : cases) {
        sink.messages.clear();
        EXPECT_EQ(port.open(c.name, "9600"), 0) << c.name;
        EXPECT_EQ(port.isOpen(), 0);
        ASSERT_EQ(sink.messages.size(), 1u) << c.name;
        EXPECT_EQ(sink.firstLine(), "Communication Port Error.");
        EXPECT_NE(sink.messages[0].find(c.reason), std::string::npos) << sink.messages[0];
    }
    ::unlink(regular);

    // A failed open holds nothing: the port opens as soon as the name is right.
    EXPECT_EQ(openPort(), 1);
}

TEST_F(SerialLine, AbsentPortListsThePortsThatAreThere) {
    test::FakeMachine machine;
    port.setDiscoveryRoots(machine.roots());
    EXPECT_EQ(port.open("/dev/sorbel-no-such-port", "9600"), 0);
    machine.addUsbPort("ttyUSB0", "ftdi_sio", "1-1", {"0403", "6001", "FTDI", "FT232R", {}}, true);
    machine.addUsbPort("ttyACM1", "cdc_acm", "1-2", {"2e8a", "000a", {}, {}, {}}, false);
    EXPECT_EQ(port.open("sorbel-no-such-port", "9600"), 0);
    ASSERT_EQ(sink.messages.size(), 2u);
    EXPECT_EQ(sink.messages[0], "Communication Port Error.\n/dev/sorbel-no-such-port: No such file "
                                "or directory: the port is absent. No serial ports were found.");
    EXPECT_EQ(sink.messages[1],
              "Communication Port Error.\nsorbel-no-such-port (/dev/sorbel-no-such-port): No "
              "such file or directory: the port is absent. Serial ports found: " +
                  machine.devPath("ttyACM1") + " (cdc_acm), " + machine.devPath("ttyUSB0") +
                  " (FTDI FT232R).");
}

// Root opens every device, so the test drops to an unprivileged user in a child process.
TEST_F(SerialLine, PermissionDeniedNamesTheDevicesGroupAndHowToJoinIt) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to become a user the device refuses";
    }
    const std::string path = pty.slavePath();
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0660), 0); // group may, others may not
    const group* owner = ::getgrgid(info.st_gid);
    const std::string name = owner != nullptr ? owner->gr_name : std::to_string(info.st_gid);
    const gid_t nobody = info.st_gid == 65534 ? 65533 : 65534;
    int child = runInChild([&] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0) {
            return 3;
        }
        SerialPort theirs;
        test::RecordingSink theirSink;
        theirs.setMessageSink(&theirSink);
        if (theirs.open(path, "9600") != 0 || theirSink.messages.size() != 1) {
            return 1;
        }
        const std::string expected = "Communication Port Error.\n" + path +
                                     ": Permission denied: the device belongs to group " + name +
                                     ", which the user is not in; join it with: sudo usermod -aG " +
                                     name + " $USER, then log out and in again";
        return theirSink.messages[0] == expected ? 0 : 2;
    });
    EXPECT_EQ(child, 0) << "1: opened or no single message, 2: other text, 3: setuid failed";
    EXPECT_EQ(openPort(), 1); // root still opens it
}

TEST_F(SerialLine, SecondOpenIsSilentAndKeepsTheFirstSettings) {
    ASSERT_EQ(openPort("9600"), 1);
    EXPECT_EQ(openPort("115200"), 0);
    EXPECT_EQ(port.open("/dev/sorbel-no-such-port", "115200"), 0);
    EXPECT_TRUE(sink.messages.empty());
    EXPECT_EQ(port.isOpen(), 1);
    EXPECT_EQ(port.baudRate(), 9600);
    EXPECT_EQ(lineSpeed(pty.master()), 9600u);

    pty.send("ok");
    ASSERT_TRUE(pty.waitInput(2));
    std::array<char, 3> buffer{};
    std::uint32_t got = 0;
    EXPECT_EQ(port.read(buffer.data(), 2, got), 1);
    EXPECT_EQ(std::string(buffer.data()), "ok");

    // The new rate takes effect at the next open.
    ASSERT_EQ(port.close(), 1);
    ASSERT_EQ(openPort("115200"), 1);
    EXPECT_EQ(lineSpeed(pty.master()), 115200u);
}

TEST_F(SerialLine, CloseReportsWhetherAnOpenPortWasClosed) {
    EXPECT_EQ(port.close(), 0); // never opened
    ASSERT_EQ(openPort(), 1);
    EXPECT_EQ(port.close(), 1);
    EXPECT_EQ(port.isOpen(), 0);
    EXPECT_EQ(port.close(), 0); // already closed
    EXPECT_TRUE(sink.messages.empty());

    // Closed means released: another port object can have the line now.
    SerialPort other;
    EXPECT_EQ(other.open(pty.slavePath(), "9600"), 1);
}

TEST_F(SerialLine, PortIsExclusiveWithinTheProcessAndAcrossProcesses) {
    ASSERT_EQ(openPort(), 1);

    SerialPort second;
    test::RecordingSink secondSink;
    second.setMessageSink(&secondSink);
    EXPECT_EQ(second.open(pty.slavePath(), "9600"), 0);
    ASSERT_EQ(secondSink.messages.size(), 1u);
    EXPECT_EQ(secondSink.firstLine(), "Communication Port Error.");
    EXPECT_NE(secondSink.messages[0].find("is in use by another program"), std::string::npos)
        << secondSink.messages[0];
    EXPECT_EQ(second.isOpen(), 0);

    // Another program gets the same answer.
    const std::string path = pty.slavePath();
    int child = runInChild([&path] {
        SerialPort theirs;
        test::RecordingSink theirSink;
        theirs.setMessageSink(&theirSink);
        bool refused = theirs.open(path, "9600") == 0 && theirSink.messages.size() == 1 &&
                       theirSink.firstLine() == "Communication Port Error.";
        return refused ? 0 : 1;
    });
    EXPECT_EQ(child, 0);

    // Neither attempt disturbed the port that holds the line, nor its exclusivity.
    EXPECT_EQ(port.isOpen(), 1);
    int exclusive = -1;
    ASSERT_EQ(::ioctl(pty.observer(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    const std::uint8_t wake = 0x08;
    EXPECT_EQ(port.write(&wake, 1), 1u);
    EXPECT_EQ(pty.receive(1), "\x08");

    // Closing gives the line back to everyone.
    EXPECT_EQ(port.close(), 1);
    ASSERT_EQ(::ioctl(pty.observer(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
}

TEST_F(SerialLine, LineHeldByAnotherProgramIsRefusedUntilItLetsGo) {
    int locked[2];
    int release[2];
    ASSERT_EQ(::pipe(locked), 0);
    ASSERT_EQ(::pipe(release), 0);
    const std::string path = pty.slavePath();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(locked[0]);
        ::close(release[1]);
        int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::_exit(1);
        }
        char c = 'L';
        if (::write(locked[1], &c, 1) != 1) {
            ::_exit(1);
        }
        pollfd p{release[0], POLLIN, 0};
        ::poll(&p, 1, 10000); // until the parent closes its end, or 10 s
        ::_exit(0);
    }
    ASSERT_GT(pid, 0);
    ::close(locked[1]);
    ::close(release[0]);

    char c = 0;
    bool childLocked = readWithin(locked[0], c);
    if (childLocked) {
        EXPECT_EQ(openPort(), 0);
        ASSERT_EQ(sink.messages.size(), 1u);
        EXPECT_EQ(sink.firstLine(), "Communication Port Error.");
        EXPECT_NE(sink.messages[0].find(path + " is in use by another program"), std::string::npos)
            << sink.messages[0];
    }
    ::close(release[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(locked[0]);
    ASSERT_TRUE(childLocked) << "the child could not lock the line";
    EXPECT_EQ(openPort(), 1);
}

TEST_F(SerialLine, BytesPassUnchangedBothWays) {
    const std::string bytes{'\x00', '\x03', '\x04', '\x0A', '\x0D', '\x11',
                            '\x13', '\x1A', '\x7F', '\x80', '\xFF', '\x08'};
    ASSERT_EQ(openPort(), 1);

    EXPECT_EQ(port.write(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                         static_cast<std::uint32_t>(bytes.size())),
              bytes.size());
    EXPECT_EQ(pty.receive(bytes.size()), bytes);

    pty.send(bytes);
    ASSERT_TRUE(pty.waitInput(bytes.size()));
    std::array<char, 13> buffer{};
    std::uint32_t got = 0;
    EXPECT_EQ(port.read(buffer.data(), 12, got), 1);
    EXPECT_EQ(std::string(buffer.data(), got), bytes);
}

TEST_F(SerialLine, ReadTerminatesWhatArrivedAndLeavesTheBufferAloneWhenNothingDid) {
    ASSERT_EQ(openPort(), 1);
    std::array<char, 32> buffer{};
    std::uint32_t got = 99;

    buffer.fill('x');
    buffer[0] = 'Q';
    EXPECT_EQ(port.read(buffer.data(), 24, got), 1);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(buffer[0], 'Q');
    EXPECT_EQ(std::string(buffer.data() + 1, 31), std::string(31, 'x'));

    buffer.fill('x');
    pty.send("hello");
    ASSERT_TRUE(pty.waitInput(5));
    EXPECT_EQ(port.read(buffer.data(), 24, got), 1);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(std::string(buffer.data()), "hello");
    EXPECT_EQ(buffer[6], 'x');

    buffer.fill('x');
    pty.send("QZKV5160  V3Y and 11 more");
    ASSERT_TRUE(pty.waitInput(24));
    EXPECT_EQ(port.read(buffer.data(), 24, got), 1);
    EXPECT_EQ(got, 24u);
    EXPECT_EQ(std::string(buffer.data()), "QZKV5160  V3Y and 11 mor");
    EXPECT_TRUE(sink.messages.empty());
}

// A silent line: the call ends no earlier than the time-out and not much later.
TEST_F(SerialLine, SilentLineTimesOutAfterTheRateBasedLimit) {
    struct Case {
        const char* baud;
        bool single; // readByte instead of read(24)
        long limit;  // ms
    };
    const Case cases[] = {
        {"9600", false, 233},
        {"115200", false, 42},
        {"9600", true, 210},
        {"115200", true, 19},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(openPort(c.baud), 1);
        std::array<char, 25> buffer{};
        std::uint32_t got = 0;
        std::uint8_t byte = 0x5A;
        int result = -1;
        auto elapsed = timed(
            [&] { result = c.single ? port.readByte(byte) : port.read(buffer.data(), 24, got); });
        EXPECT_EQ(result, c.single ? 0 : 1) << c.baud;
        EXPECT_EQ(got, 0u);
        EXPECT_EQ(byte, 0x5A);
        EXPECT_GE(elapsed.count(), c.limit) << c.baud << (c.single ? " readByte" : " read");
        EXPECT_LT(elapsed, std::chrono::milliseconds(c.limit) + lateness) << c.baud;
        EXPECT_EQ(port.close(), 1);
    }
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(SerialLine, PurgeDropsQueuedInputOnlyWhenAsked) {
    struct Case {
        unsigned flags;
        const char* expected;
    };
    const Case cases[] = {
        {purgeAll, "Z"},     {purgeRxClear, "Z"},
        {purgeRxAbort, "Z"}, {purgeTxAbort | purgeTxClear, "abcZ"},
        {0, "abcZ"},
    };
    ASSERT_EQ(openPort(), 1);
    for (const auto& c : cases) {
        pty.send("abc");
        ASSERT_TRUE(pty.waitInput(3));
        port.purge(c.flags);
        pty.send("Z");
        ASSERT_TRUE(pty.waitInput(std::strlen(c.expected)));
        std::array<char, 5> buffer{};
        std::uint32_t got = 0;
        EXPECT_EQ(port.read(buffer.data(), 4, got), 1);
        EXPECT_EQ(std::string(buffer.data(), got), c.expected) << "flags " << c.flags;
    }
}

TEST_F(SerialLine, HungUpLineFailsTheReadAtOnce) {
    ASSERT_EQ(openPort("300"), 1); // a 24-byte read would wait 6835 ms
    pty.closeMaster();
    std::array<char, 25> buffer{};
    std::uint32_t got = 0;
    int result = -1;
    auto elapsed = timed([&] { result = port.read(buffer.data(), 24, got); });
    EXPECT_EQ(result, 0);
    EXPECT_LT(elapsed, SerialPort::readTimeout(24, 300));
    EXPECT_TRUE(port.hungUp());
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.firstLine(), "Reading of serial communication has problem.");

    // Every later read says so again, at once; writes fail; the port still closes.
    EXPECT_EQ(port.read(buffer.data(), 24, got), 0);
    EXPECT_EQ(sink.messages.size(), 2u);
    const std::uint8_t wake = 0x08;
    EXPECT_EQ(port.write(&wake, 1), 0u);
    EXPECT_EQ(port.close(), 1);
}

TEST_F(SerialLine, HungUpLineIsReportedOnceBySingleByteReads) {
    ASSERT_EQ(openPort("300"), 1);
    pty.closeMaster();
    std::uint8_t byte = 0x5A;
    auto elapsed = timed([&] {
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(port.readByte(byte), 0);
        }
    });
    EXPECT_LT(elapsed, SerialPort::readTimeout(1, 300));
    EXPECT_EQ(byte, 0x5A);
    EXPECT_TRUE(port.hungUp());
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.firstLine(), "Reading of serial communication has problem.");
}

TEST_F(SerialLine, AbortWakesABlockedReadAndSilencesThePortUntilTheNextOpen) {
    ASSERT_EQ(openPort("300"), 1);
    int result = -1;
    std::chrono::milliseconds elapsed{};
    std::thread reader([&] {
        std::array<char, 25> buffer{};
        std::uint32_t got = 0;
        elapsed = timed([&] { result = port.read(buffer.data(), 24, got); });
    });
    std::this_thread::sleep_for(100ms); // let the read block; it works either way
    port.abort();
    reader.join();
    EXPECT_EQ(result, 0);
    EXPECT_LT(elapsed, SerialPort::readTimeout(24, 300));
    EXPECT_TRUE(port.aborted());

    std::uint8_t byte = 0;
    const std::uint8_t wake = 0x08;
    std::array<char, 25> buffer{};
    std::uint32_t got = 0;
    pty.send("x");
    EXPECT_EQ(port.readByte(byte), 0);
    EXPECT_EQ(port.read(buffer.data(), 24, got), 0);
    EXPECT_EQ(port.write(&wake, 1), 0u);
    EXPECT_TRUE(sink.messages.empty());

    EXPECT_EQ(port.close(), 1);
    ASSERT_EQ(openPort(), 1);
    EXPECT_FALSE(port.aborted());
    pty.send("y");
    ASSERT_TRUE(pty.waitInput(1));
    EXPECT_EQ(port.readByte(byte), 1);
    EXPECT_EQ(byte, 'y');
}

TEST_F(SerialLine, AbortWakesAWriteThatTheLineCannotTake) {
    ASSERT_EQ(openPort("9600"), 1);
    // Nobody reads the master: the line takes a few kilobytes, then the write waits.
    const std::vector<std::uint8_t> data(1 << 20, 0x55);
    std::uint32_t written = 0;
    std::chrono::milliseconds elapsed{};
    std::thread writer([&] {
        elapsed = timed(
            [&] { written = port.write(data.data(), static_cast<std::uint32_t>(data.size())); });
    });
    std::this_thread::sleep_for(100ms);
    port.abort();
    writer.join();
    EXPECT_LT(written, data.size());
    EXPECT_LT(elapsed, patience);
    EXPECT_TRUE(sink.messages.empty());
}

} // namespace
} // namespace sorbel
