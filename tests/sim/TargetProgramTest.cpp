// The sorbel-target program as a user runs it: first line the port, then the protocol,
// a report and the files at exit, and its exit codes.
#include "Line.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using sorbel::testing::frame;
using sorbel::testing::Line;
using Bytes = std::vector<std::uint8_t>;

constexpr auto programLimit = 10s;

// A child process with its standard output on a pipe; killed if still running at the end.
class Program {
public:
    explicit Program(std::vector<std::string> args) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(out[1], STDERR_FILENO);
            std::vector<char*> argv{const_cast<char*>(SORBEL_TARGET_PROGRAM)};
            for (auto& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        fd_ = out[0];
    }
    ~Program() {
        if (pid_ > 0 && status_ < 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    // Output up to the first newline (without it), read within the limit.
    std::string firstLine() {
        std::string line;
        while (line.find('\n') == std::string::npos && readSome(line)) {
        }
        output_ =
            line.substr(line.find('\n') == std::string::npos ? line.size() : line.find('\n') + 1);
        return line.substr(0, line.find('\n'));
    }
    // Waits for the exit within the limit; returns the exit code, -1 when it did not end.
    int finish() {
        while (readSome(output_)) {
        }
        const auto deadline = std::chrono::steady_clock::now() + programLimit;
        while (status_ < 0 && std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
            } else {
                std::this_thread::sleep_for(10ms);
            }
        }
        return status_;
    }
    void signal(int sig) const { ::kill(pid_, sig); }
    const std::string& output() const { return output_; }

private:
    bool readSome(std::string& into) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(programLimit).count())) <= 0) {
            return false;
        }
        char buffer[512];
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        into.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int fd_ = -1;
    int status_ = -1;
    std::string output_;
};

TEST(TargetProgram, ServesADownloadAndReportsAtExit) {
    const std::string dir = ::testing::TempDir();
    Program program({"--exit-after-run", "--dump-flash", dir + "/prog-flash.bin", "--log",
                     dir + "/prog-log.txt"});
    const std::string port = program.firstLine();
    ASSERT_EQ(port.rfind("/dev/", 0), 0u) << port;
    Line line;
    ASSERT_TRUE(line.open(port));
    line.write({0x08});
    EXPECT_EQ(line.read(13, programLimit).size(), 13u);
    line.write(frame('E', 0, {0x00}));
    EXPECT_EQ(line.answer(), 0x06);
    line.write(frame('W', 0x100, {0x12, 0x34}));
    EXPECT_EQ(line.answer(), 0x06);
    line.write(frame('R', 0, {}));
    EXPECT_EQ(line.answer(), 0x06);

    EXPECT_EQ(program.finish(), 0) << program.output();
    EXPECT_NE(program.output().find("bytes programmed: 2"), std::string::npos) << program.output();
    EXPECT_NE(program.output().find("run started: yes"), std::string::npos);
    std::ifstream image(dir + "/prog-flash.bin", std::ios::binary);
    const Bytes bytes((std::istreambuf_iterator<char>(image)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 0x10000u);
    EXPECT_EQ(bytes[0x100], 0x12);
    EXPECT_EQ(bytes[0x101], 0x34);
    std::ifstream log(dir + "/prog-log.txt");
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
}

TEST(TargetProgram, EndsOnSigtermWithReport) {
    Program program({});
    ASSERT_EQ(program.firstLine().rfind("/dev/", 0), 0u);
    program.signal(SIGTERM);
    EXPECT_EQ(program.finish(), 0);
    EXPECT_NE(program.output().find("run started: no"), std::string::npos) << program.output();
}

struct ExitCase {
    const char* name;
    std::vector<std::string> args;
    int code;
    const char* text; // expected in the output
};

void PrintTo(const ExitCase& c, std::ostream* os) {
    *os << c.name;
}

class TargetProgramExit : public ::testing::TestWithParam<ExitCase> {};

TEST_P(TargetProgramExit, CodeAndMessage) {
    Program program(GetParam().args);
    EXPECT_EQ(program.finish(), GetParam().code);
    EXPECT_NE(program.output().find(GetParam().text), std::string::npos) << program.output();
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, TargetProgramExit,
    ::testing::Values(
        ExitCase{"Help", {"--help"}, 0, "--erase-ack-after"},
        ExitCase{"Version", {"--version"}, 0, "sorbel-target "},
        ExitCase{"UnknownOption", {"--bogus"}, 2, "unknown option --bogus"},
        ExitCase{"MissingValue", {"--baud"}, 2, "needs a value"},
        ExitCase{"BadNumber", {"--baud", "fast"}, 2, "invalid value 'fast' for --baud"},
        ExitCase{"RateOutOfRange", {"--nak-rate=1.5"}, 2, "invalid value '1.5'"},
        ExitCase{"StrayArgument", {"extra"}, 2, "unexpected argument 'extra'"},
        ExitCase{"MissingDevice", {"--device", "/dev/no-such-line"}, 1, "/dev/no-such-line"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
