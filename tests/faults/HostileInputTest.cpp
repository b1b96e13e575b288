// Hostile input to sorbel-cli: HEX files that are no HEX files, settings files with values
// no editor would write, port names with control characters. Each gets a message that names
// the file, the line or the value and the cause, and a normal exit with its status; none
// crashes or hangs.
#include "CliRunner.h"
#include "FaultBench.h"

#include <gtest/gtest.h>

#include <random>

#include <sys/stat.h>

namespace sorbel::faults {
namespace {

struct Hostile {
    const char* name;
    // Writes what the case needs into dir and returns the arguments for sorbel-cli.
    std::function<std::vector<std::string>(const fs::path& dir, const std::string& port)> setUp;
    int exitStatus;
    std::vector<std::string> inStderr;
};

void PrintTo(const Hostile& c, std::ostream* out) {
    *out << c.name;
}

std::vector<std::string> downloadOf(const fs::path& file, const std::string& port) {
    return {"-p", port, "-b", "9600", "--timeout", "5", file.string()};
}

std::string noise(std::size_t size) {
    std::mt19937 random(20261211);
    std::string bytes(size, '\0');
    for (char& b : bytes)
        b = static_cast<char>(random());
    return bytes;
}

// A settings file named with --settings; the download's other values come from it.
std::vector<std::string> withSettings(const fs::path& dir, const std::string& text) {
    writeText(dir / "bench.ini", text);
    writeText(dir / "six.hex", hexText(sixRecords()));
    return {"--settings", (dir / "bench").string(), "--timeout", "5"};
}

class HostileInput : public ::testing::TestWithParam<Hostile> {};

TEST_P(HostileInput, ClearMessageNormalExitNoHang) {
    const Hostile& c = GetParam();
    TempDir dir;
    auto target = startTarget();
    const auto arguments = c.setUp(dir.path(), target->portPath());
    const CliRun run = runCli(arguments, std::chrono::seconds(30));
    const ChildResult& r = run.result;
    EXPECT_FALSE(r.timedOut) << r.err;
    EXPECT_EQ(r.exitStatus, c.exitStatus) << r.out << r.err;
    for (const std::string& part : c.inStderr)
        EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
    // Messages reach a terminal: no raw control byte of the input gets through.
    for (const char ch : r.err)
        EXPECT_TRUE(ch == '\n' || static_cast<unsigned char>(ch) >= 0x20) << r.err;
    if (c.exitStatus != 0) {
        EXPECT_EQ(r.out.find("Download Complete."), std::string::npos);
    }
    // Only the settings file with NUL bytes names a usable port and file.
    if (std::string(c.name) != "settings_with_nul_bytes") {
        EXPECT_TRUE(target->packets().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, HostileInput,
    ::testing::Values(
        Hostile{"hex_file_of_one_10_mb_line",
                [](const fs::path& dir, const std::string& port) {
                    writeText(dir / "long.hex", ":" + std::string(10 * 1024 * 1024, '0'));
                    return downloadOf(dir / "long.hex", port);
                },
                4,
                {"long.hex line 1: "}},
        Hostile{"hex_file_of_binary_noise",
                [](const fs::path& dir, const std::string& port) {
                    writeText(dir / "noise.hex", noise(64 * 1024));
                    return downloadOf(dir / "noise.hex", port);
                },
                4,
                {"noise.hex line "}},
        // Nothing to program is a download of nothing: no command reaches the target.
        Hostile{"hex_file_of_only_end_records",
                [](const fs::path& dir, const std::string& port) {
                    std::string text;
                    for (int i = 0; i < 1000; ++i)
                        text += ":00000001FF\r\n";
                    writeText(dir / "ends.hex", text);
                    return downloadOf(dir / "ends.hex", port);
                },
                0,
                {}},
        Hostile{"hex_file_that_is_a_fifo",
                [](const fs::path& dir, const std::string& port) {
                    EXPECT_EQ(::mkfifo((dir / "pipe.hex").c_str(), 0644), 0);
                    return downloadOf(dir / "pipe.hex", port);
                },
                4,
                {"pipe.hex: cannot open: it is not a regular file (a FIFO)"}},
        Hostile{
            "hex_file_that_never_ends",
            [](const fs::path&, const std::string& port) { return downloadOf("/dev/zero", port); },
            4,
            {"/dev/zero: cannot open: it is not a regular file (a device)"}},
        // The reader keeps the first 1023 characters: a port name no system has.
        Hostile{"settings_value_of_1_mb",
                [](const fs::path& dir, const std::string&) {
                    return withSettings(dir, "[Sorbel]\nPort=/dev/" + std::string(1 << 20, 'x') +
                                                 "\nBaud=9600\nFile=" + (dir / "six.hex").string() +
                                                 "\n");
                },
                3,
                {"Communication Port Error.", "/dev/xxxxxxxx"}},
        // A NUL byte ends a value; the keys around it are read as they stand.
        Hostile{"settings_with_nul_bytes",
                [](const fs::path& dir, const std::string& port) {
                    using namespace std::string_literals;
                    const std::string text = "[Sorbel]\n\0\0\0\nPort="s + port +
                                             "\0tail\nBaud=9600\0\0\nFi\0le=x\nFile="s +
                                             (dir / "six.hex").string() + "\n";
                    return withSettings(dir, text);
                },
                0,
                {}},
        Hostile{"port_name_with_control_characters",
                [](const fs::path& dir, const std::string&) {
                    writeText(dir / "six.hex", hexText(sixRecords()));
                    return std::vector<std::string>{"-p", "ttyS0\x1b[2J\a\x7f",
                                                    (dir / "six.hex").string()};
                },
                3,
                {"Communication Port Error.", "\\x1B[2J\\x07\\x7F", "control character"}},
        Hostile{"settings_port_with_control_characters",
                [](const fs::path& dir, const std::string&) {
                    return withSettings(dir, "[Sorbel]\nPort=COM1\x1b]0;owned\a\nFile=" +
                                                 (dir / "six.hex").string() + "\n");
                },
                3,
                {"Communication Port Error.", "\\x1B]0;owned\\x07", "control character"}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace sorbel::faults
