// sorbel-cli end to end: the real program against simulated targets over pseudo-terminals.
#include "ChildProcess.h"

#include "loader/HexFile.h"
#include "sim/SimulatedTarget.h"

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

namespace sorbel::cli::test {
namespace {

namespace fs = std::filesystem;
using sim::SimulatedTarget;
using sim::TargetOptions;

const std::string cliProgram = SORBEL_CLI_PROGRAM;
const std::string sampleHex = SORBEL_SAMPLE_HEX;
constexpr const char* receivedLine = "<identification> received.";
constexpr auto childLimit = std::chrono::seconds(40);

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string hexRecord(std::uint32_t address, const std::vector<std::uint8_t>& data, int type = 0) {
    std::vector<std::uint8_t> body{
        static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(address >> 8),
        static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(type)};
    body.insert(body.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string line = ":";
    char digits[3];
    for (const auto b : body) {
        sum += b;
        std::snprintf(digits, sizeof digits, "%02X", b);
        line += digits;
    }
    std::snprintf(digits, sizeof digits, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + digits + "\r\n";
}

// The flash image a HEX file describes, read with the engine's reader.
std::map<std::uint32_t, std::uint8_t> imageOf(const std::string& path) {
    std::map<std::uint32_t, std::uint8_t> image;
    HexFile file = openHexFile(path);
    std::array<char, hexLineSize> line{};
    std::array<std::uint8_t, hexDataSize> data{};
    while (readHexLine(file, line.data()) == 1 && isEndRecord(line.data()) == 0) {
        std::uint32_t address = 0;
        int count = 0;
        parseHexRecord(line.data(), address, count, data.data());
        for (int i = 0; i < count; ++i) {
            image[address + static_cast<std::uint32_t>(i)] = data[static_cast<std::size_t>(i)];
        }
    }
    return image;
}

// A folder of its own for each test, removed afterwards.
class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "sorbel-cli-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::unique_ptr<SimulatedTarget> startTarget(TargetOptions options = {}) {
    auto target = std::make_unique<SimulatedTarget>(std::move(options));
    std::string error;
    if (!target->start(error)) {
        ADD_FAILURE() << "simulated target: " << error;
    }
    return target;
}

std::size_t countCommands(const SimulatedTarget& target, std::uint8_t command) {
    std::size_t n = 0;
    for (const auto& packet : target.packets()) {
        n += packet.command == command ? 1 : 0;
    }
    return n;
}

class CliRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        // Six 16-byte records over three pages: 0x0000-0x002F, 0x0200-0x021F, 0x0400.
        std::string text;
        const std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> records = {
            {0x0000,
             {0x02, 0x01, 0x00, 0x75, 0x81, 0x5F, 0x75, 0x89, 0x21, 0x75, 0x8D, 0xFD, 0xD2, 0x8E,
              0x75, 0x98}},
            {0x0010,
             {0x50, 0x90, 0x04, 0x00, 0x12, 0x02, 0x00, 0xB2, 0x90, 0x80, 0xF8, 0xE4, 0x93, 0x60,
              0x06, 0x22}},
            {0x0020,
             {0x30, 0x99, 0xFD, 0xC2, 0x99, 0xF5, 0x99, 0x22, 0x7F, 0xC8, 0x7E, 0xFA, 0xDE, 0xFE,
              0xDF, 0xFA}},
            {0x0200,
             {0xE4, 0x93, 0x60, 0x07, 0x12, 0x00, 0x20, 0xA3, 0x80, 0xF6, 0x22, 0xC0, 0xE0, 0xC0,
              0xD0, 0x05}},
            {0x0210,
             {0x30, 0xD0, 0xD0, 0xD0, 0xE0, 0x32, 0x74, 0x2A, 0x24, 0x10, 0xF8, 0x75, 0x35, 0x7F,
              0x22, 0x00}},
            {0x0400,
             {'H', 'e', 'l', 'l', 'o', ' ', 't', 'a', 'r', 'g', 'e', 't', '.', 0, 'O', 'K'}},
        };
        for (const auto& [address, data] : records) {
            text += hexRecord(address, data);
        }
        text += ":00000001FF\r\n";
        hexPath_ = (dir_.path() / "fixture.hex").string();
        writeFile(hexPath_, text);
        // Every run names a settings file of its own, so that no sorbel.ini beside the
        // program can change what the tests see. At 9600 baud the wait for an answer byte
        // is about 210 ms, so a loaded machine does not cause resent packets, which would
        // shift the packet numbers that the target's knobs count.
        settingsBase_ = (dir_.path() / "cli").string();
        writeFile(settingsBase_ + ".ini", "[Sorbel]\r\nFile=" + hexPath_ +
                                              "\r\nBaud=9600\r\nMassErase=No\r\n"
                                              "Program=Yes\r\nVerify=No\r\n");
    }

    ChildResult runCli(std::vector<std::string> arguments, bool stderrIsTerminal = false) {
        arguments.insert(arguments.begin(), {"--settings", settingsBase_});
        ChildOptions options;
        options.program = cliProgram;
        options.arguments = std::move(arguments);
        options.stderrIsTerminal = stderrIsTerminal;
        options.extraEnvironment = {"TERM=xterm"};
        options.limit = childLimit;
        ChildResult result = runChild(options);
        EXPECT_FALSE(result.timedOut) << "stdout:\n" << result.out << "\nstderr:\n" << result.err;
        return result;
    }

    std::int32_t estimate() const {
        std::int32_t bytes = 0;
        estimateDataBytes(hexPath_, bytes);
        return bytes;
    }

    // Compares a transcript, where receivedLine stands for the matching identification line.
    static void expectLines(const std::string& out, const std::vector<std::string>& expected,
                            const std::string& prefix = "") {
        const std::vector<std::string> lines = splitLines(out);
        ASSERT_EQ(lines.size(), expected.size()) << out;
        static const std::regex received("QZKV51.* received\\.");
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (expected[i] == receivedLine) {
                ASSERT_TRUE(lines[i].starts_with(prefix)) << lines[i];
                EXPECT_TRUE(std::regex_match(lines[i].substr(prefix.size()), received)) << lines[i];
            } else {
                EXPECT_EQ(lines[i], prefix + expected[i]);
            }
        }
    }

    TempDir dir_;
    std::string hexPath_;
    std::string settingsBase_;
};

TEST_F(CliRun, FullDownloadWithEachOptionSet) {
    const std::string downloading = "Downloading ... " + std::to_string(estimate()) + " bytes";
    const std::string verifying = "Verifying ... " + std::to_string(estimate()) + " bytes";
    const std::string ready = "Ready @ 9600 baud n,8,1.";
    const std::string prompt = "    Press Download and pulse Reset on hardware.";
    const std::string complete = "Download Complete.";
    const std::string runPrompt = "    Click Run to run program.";
    struct Case {
        std::string name;
        std::vector<std::string> arguments;
        bool flashPreloaded; // the file's data already in flash (verify only)
        std::vector<std::string> lines;
        std::size_t erases, writes, verifies, runs;
    };
    const std::vector<Case> cases = {
        {"settings as they stand: program only",
         {},
         false,
         {ready, prompt, receivedLine, "Erasing 3 pages of 512 bytes each.", downloading, complete,
          runPrompt},
         3,
         6,
         0,
         0},
        {"mass erase, program and verify",
         {"--mass-erase", "--verify"},
         false,
         {ready, prompt, receivedLine, "Mass Erasing ", downloading, verifying, complete,
          runPrompt},
         2,
         6,
         6,
         0},
        {"verify only, against flash that holds the file",
         {"--no-program", "--verify"},
         true,
         {ready, prompt, receivedLine, verifying, complete, runPrompt},
         0,
         0,
         6,
         0},
        {"nothing to do still connects and completes",
         {"--no-program", "--no-verify", "--no-mass-erase"},
         false,
         {ready, prompt, receivedLine, complete, runPrompt},
         0,
         0,
         0,
         0},
        {"another baud rate, verify and run",
         {"-b", "4800", "--verify", "--run"},
         false,
         {"Ready @ 4800 baud n,8,1.", prompt, receivedLine, "Erasing 3 pages of 512 bytes each.",
          downloading, verifying, complete, runPrompt, "Running.",
          "    Click Start for new download."},
         3,
         6,
         6,
         1},
        {"quiet: only the result",
         {"-q", "--verify", "--run"},
         false,
         {complete, "Running."},
         3,
         6,
         6,
         1},
    };
    const auto image = imageOf(hexPath_);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto target = startTarget();
        if (c.flashPreloaded) {
            for (const auto& [address, byte] : image) {
                target->setFlash(address, {byte});
            }
        }
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.end(), {"-p", target->portPath()});
        const ChildResult r = runCli(arguments);
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        expectLines(r.out, c.lines);
        EXPECT_EQ(r.err, "") << "nothing on stderr when all goes well, and no bar on a pipe";
        EXPECT_EQ(countCommands(*target, 'E'), c.erases);
        EXPECT_EQ(countCommands(*target, 'W'), c.writes);
        EXPECT_EQ(countCommands(*target, 'V'), c.verifies);
        EXPECT_EQ(countCommands(*target, 'R'), c.runs);
        EXPECT_EQ(target->runStarted(), c.runs > 0);
        if (c.writes > 0 || c.flashPreloaded) {
            const auto flash = target->flash();
            for (const auto& [address, byte] : image) {
                ASSERT_EQ(flash[address], byte) << "at 0x" << std::hex << address;
            }
        }
    }
}

TEST_F(CliRun, BundledSampleDownloadsAndVerifies) {
    // The example image is copied beside the program, and it is a program the loader takes.
    const fs::path besideProgram = fs::path(cliProgram).parent_path() / "sample.hex";
    ASSERT_TRUE(fs::exists(besideProgram));
    EXPECT_EQ(readFile(besideProgram), readFile(sampleHex));

    auto target = startTarget();
    const ChildResult r = runCli({"-q", "--verify", "--run", "-p", target->portPath(), sampleHex});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "Download Complete.\nRunning.\n");
    const auto image = imageOf(sampleHex);
    EXPECT_GT(image.size(), 2048U);
    // A write whose answer came late is sent again, so the target may count bytes twice.
    EXPECT_GE(target->bytesProgrammed(), image.size());
    const auto flash = target->flash();
    for (const auto& [address, byte] : image) {
        ASSERT_LT(address, 0xF800U);
        ASSERT_EQ(flash[address], byte) << "at 0x" << std::hex << address;
    }
}

TEST_F(CliRun, FailedVerifyExitsOne) {
    // Three page erases and six writes come first; every attempt of the first verify fails.
    TargetOptions options;
    for (int packet = 10; packet < 20; ++packet) {
        options.nakOn.insert(packet);
    }
    auto target = startTarget(options);
    const ChildResult r = runCli({"--verify", "--run", "-p", target->portPath()});
    EXPECT_EQ(r.exitStatus, 1) << r.err;
    const auto lines = splitLines(r.out);
    ASSERT_GE(lines.size(), 2U) << r.out;
    EXPECT_EQ(lines[lines.size() - 2], "Flash error.");
    EXPECT_EQ(lines.back(), "    Check setup and try downloading again.");
    EXPECT_NE(r.err.find("Error at 0x0 - 0x10 \n Verify aborted."), std::string::npos) << r.err;
    EXPECT_FALSE(target->runStarted()) << "no run command after a failed download";
}

TEST_F(CliRun, PortAndConnectionFailuresExitThree) {
    struct Case {
        std::string name;
        TargetOptions target;
        bool missingPort;
        std::vector<std::string> arguments;
        std::vector<std::string> inStderr;
        std::string lastStdoutLine; // a regular expression
    };
    TargetOptions silent;
    silent.idText = "";
    TargetOptions wrongId;
    wrongId.idText = "BOOTROM 2.1";
    TargetOptions hangsUp;
    hangsUp.hangUpAfter = 2;
    TargetOptions runUnanswered;
    for (int packet = 10; packet < 20; ++packet) {
        runUnanswered.silentOn.insert(packet); // the run command follows 3 erases, 6 writes
    }
    const std::vector<Case> cases = {
        {"the port does not exist", {}, true, {}, {"Communication Port Error."}, ""},
        {"the target never answers its identification",
         silent,
         false,
         {"--timeout", "1"},
         {"No answer from the target on ", " within 1 s"},
         " {4}Press Download and pulse Reset on hardware\\."},
        {"the target answers with a wrong identification",
         wrongId,
         false,
         {"--timeout", "1"},
         {"No answer from the target on ", "not the loader's identification"},
         "[A-Z0-9 .]+ received\\.Waiting for correct ID string\\."},
        {"the line hangs up during the download",
         hangsUp,
         false,
         {},
         {"Reading of serial communication has problem."},
         ""},
        {"the run command is not acknowledged",
         runUnanswered,
         false,
         {"--run"},
         {"Communications failure. Run aborted"},
         " {4}Click Start for new download\\."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto target = startTarget(c.target);
        const std::string port =
            c.missingPort ? (dir_.path() / "no-such-port").string() : target->portPath();
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.end(), {"-p", port});
        const auto started = std::chrono::steady_clock::now();
        const ChildResult r = runCli(arguments);
        EXPECT_EQ(r.exitStatus, 3) << r.out << r.err;
        for (const std::string& part : c.inStderr) {
            EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
        }
        if (!c.lastStdoutLine.empty()) {
            const auto lines = splitLines(r.out);
            ASSERT_FALSE(lines.empty());
            EXPECT_TRUE(std::regex_match(lines.back(), std::regex(c.lastStdoutLine)))
                << lines.back();
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    }
}

TEST_F(CliRun, BadFilesExitFourBeforeAnyPortIsTouched) {
    const std::string good = hexRecord(0x0000, {1, 2, 3, 4, 5, 6, 7, 8});
    std::string badChecksum = hexRecord(0x0010, {9, 9, 9, 9});
    badChecksum[badChecksum.size() - 3] ^= 1;
    struct Case {
        std::string name;
        std::string content; // "<none>": no file; "<folder>": a folder
        std::vector<std::string> inStderr;
    };
    const std::vector<Case> cases = {
        {"missing", "<none>", {"cannot open", "No such file or directory"}},
        {"a folder", "<folder>", {"cannot open", "folder"}},
        {"a bad checksum on line 3",
         good + good + badChecksum + ":00000001FF\r\n",
         {" line 3: checksum error"}},
        {"no end record", good + good, {" line 2: the file ends without an end record"}},
        {"not hexadecimal", good + ":10000000ZZ\r\n:00000001FF\r\n", {" line 2: "}},
        {"an address base above 64 KiB",
         good + hexRecord(0, {0x00, 0x01}, 4) + good + ":00000001FF\r\n",
         {" line 2: address base 0x10000"}},
        {"empty", "", {" line 1: the file ends without an end record"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto target = startTarget();
        const fs::path file = dir_.path() / "bad file.hex";
        std::error_code ignored;
        fs::remove_all(file, ignored);
        if (c.content == "<folder>") {
            fs::create_directory(file);
        } else if (c.content != "<none>") {
            writeFile(file, c.content);
        }
        const ChildResult r = runCli({"-p", target->portPath(), file.string()});
        EXPECT_EQ(r.exitStatus, 4) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(file.string()), std::string::npos) << "names the file: " << r.err;
        for (const std::string& part : c.inStderr) {
            EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
        }
        EXPECT_EQ(target->wakeBytesReceived(), 0);
        EXPECT_TRUE(target->packets().empty());
    }
}

TEST_F(CliRun, UsageErrorsExitTwoAndHelpAndVersionExitZero) {
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string inStdout;
        std::string inStderr;
    };
    const std::vector<Case> cases = {
        {{"--bogus"}, 2, "", "sorbel-cli: unrecognized option '--bogus'\nTry 'sorbel-cli --help'"},
        {{"--timeout", "-3"}, 2, "", "requires an argument"},
        {{"--baud=fast"}, 2, "", "baud rate 'fast'"},
        {{"--settings", "/nonexistent/lab"}, 2, "", "'/nonexistent/lab.ini': not found"},
        {{"--help"}, 0, "Usage: sorbel-cli", ""},
        {{"--version"}, 0, "sorbel-cli ", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.front());
        const ChildResult r = runCli(c.arguments);
        EXPECT_EQ(r.exitStatus, c.status);
        EXPECT_NE(r.out.find(c.inStdout), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(c.inStderr), std::string::npos) << r.err;
        if (c.status == 0) {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_EQ(r.out, "");
        }
    }
}

TEST_F(CliRun, ListPortsPrintsOnePathALine) {
    // What is listed depends on the machine; the form does not.
    const ChildResult r = runCli({"--list-ports"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    for (const std::string& line : splitLines(r.out)) {
        EXPECT_TRUE(line.starts_with("/dev/")) << line;
    }
    if (r.out.empty()) {
        EXPECT_EQ(r.err, "sorbel-cli: no serial ports found\n");
    }
}

TEST_F(CliRun, BarIsDrawnInPlaceOnATerminalOnly) {
    // A paced target makes the download long enough for the bar to show progress.
    TargetOptions options;
    options.baud = 19200;
    auto target = startTarget(options);
    const ChildResult r = runCli({"--verify", "-p", target->portPath(), sampleHex}, true);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    // Standard output is unchanged by the bar.
    const auto lines = splitLines(r.out);
    ASSERT_GE(lines.size(), 2U) << r.out;
    EXPECT_EQ(lines[lines.size() - 2], "Download Complete.");
    // The bar: redrawn in place (cursor up, clear), bytes of the estimate, both passes.
    EXPECT_NE(r.err.find("\033[1A\033[J"), std::string::npos);
    EXPECT_NE(r.err.find("writing"), std::string::npos);
    EXPECT_NE(r.err.find("verifying"), std::string::npos);
    EXPECT_NE(r.err.find(" of "), std::string::npos);
    EXPECT_TRUE(std::regex_search(r.err, std::regex("\\[#+-*\\]"))) << r.err;
    // Every bar line fits the terminal's 100 columns.
    for (const std::string& line : splitLines(r.err)) {
        const auto start = line.rfind("\033[J");
        const std::string shown = start == std::string::npos ? line : line.substr(start + 3);
        EXPECT_LT(shown.size(), 100U) << shown;
    }
}

TEST_F(CliRun, ThreePortsReportEachAndTheWorstStatus) {
    TargetOptions silent;
    silent.idText = "";
    TargetOptions failsVerify;
    for (int packet = 10; packet < 20; ++packet) {
        failsVerify.nakOn.insert(packet);
    }
    auto silentTarget = startTarget(silent);
    auto verifyTarget = startTarget(failsVerify);
    auto goodTarget = startTarget();
    const std::string silentPort = silentTarget->portPath();
    const std::string verifyPort = verifyTarget->portPath();
    const std::string goodPort = goodTarget->portPath();
    const ChildResult r =
        runCli({"--verify", "--timeout", "3", "-p", silentPort, "-p", verifyPort, "-p", goodPort});
    EXPECT_EQ(r.exitStatus, 3) << r.out << r.err;

    // Every status line and message is prefixed with its port.
    std::map<std::string, std::vector<std::string>> perPort;
    const auto lines = splitLines(r.out);
    std::size_t tableStart = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].starts_with("PORT ")) {
            tableStart = i;
            break;
        }
        bool prefixed = false;
        for (const std::string& port : {silentPort, verifyPort, goodPort}) {
            if (lines[i].starts_with(port + ": ")) {
                perPort[port].push_back(lines[i].substr(port.size() + 2));
                prefixed = true;
            }
        }
        EXPECT_TRUE(prefixed) << lines[i];
    }
    ASSERT_EQ(perPort[silentPort].size(), 2U) << "only the Ready and reset prompt lines";
    EXPECT_EQ(perPort[verifyPort].back(), "    Check setup and try downloading again.");
    EXPECT_EQ(perPort[goodPort].back(), "    Click Run to run program.");
    for (const std::string& line : splitLines(r.err)) {
        EXPECT_TRUE(line.starts_with(silentPort + ": ") || line.starts_with(verifyPort + ": "))
            << line;
    }
    EXPECT_NE(r.err.find(silentPort + ": No answer from the target within 3 s"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(verifyPort + ": Error at 0x0 - 0x10 "), std::string::npos) << r.err;

    // The closing table: one row per port, in command-line order.
    ASSERT_EQ(lines.size(), tableStart + 4) << r.out;
    const std::regex header("PORT +RESULT +BYTES +SECONDS");
    EXPECT_TRUE(std::regex_match(lines[tableStart], header)) << lines[tableStart];
    const std::string data = std::to_string(imageOf(hexPath_).size());
    const std::vector<std::pair<std::string, std::string>> rows = {
        {silentPort, "no answer +0"},
        {verifyPort, "flash error +" + data},
        {goodPort, "ok +" + data}};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::regex row(std::regex_replace(rows[i].first, std::regex("[./]"), "\\$&") + " +" +
                             rows[i].second + " +[0-9]+\\.[0-9]");
        EXPECT_TRUE(std::regex_match(lines[tableStart + 1 + i], row)) << lines[tableStart + 1 + i];
    }
    EXPECT_EQ(countCommands(*goodTarget, 'V'), 6U);
}

TEST_F(CliRun, InterruptStopsEveryPortAndExitsNonZero) {
    TargetOptions silent;
    silent.idText = "";
    auto first = startTarget(silent);
    auto second = startTarget(silent);
    ChildOptions options;
    options.program = cliProgram;
    options.arguments = {"--settings", settingsBase_,     "--timeout", "0",
                         "-p",         first->portPath(), "-p",        second->portPath()};
    options.limit = childLimit;
    // Once both ports wait for their targets.
    options.signalWhen = [](const std::string& out, const std::string&) {
        std::size_t prompts = 0;
        for (const auto& line : splitLines(out)) {
            prompts += line.ends_with("Press Download and pulse Reset on hardware.") ? 1 : 0;
        }
        return prompts == 2;
    };
    options.signal = SIGINT;
    const ChildResult r = runChild(options);
    ASSERT_TRUE(r.signalSent) << r.out << r.err;
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitStatus, 130) << r.err;
    EXPECT_NE(r.err.find("interrupted"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("interrupted"), std::string::npos) << "both rows in the table";
}

TEST_F(CliRun, SettingsFileGivesDefaultsAndIsNeverWritten) {
    auto target = startTarget();
    const std::string settings = "; lab bench\r\n[Sorbel]\r\nFile=" + hexPath_ +
                                 "\r\nPort=" + target->portPath() +
                                 "\r\nBaud=57600\r\nMassErase=No\r\nProgram=Yes\r\n"
                                 "Verify=Yes\r\nAutorun=No\r\n";
    writeFile(settingsBase_ + ".ini", settings);
    const auto written = fs::last_write_time(settingsBase_ + ".ini");
    {
        const ChildResult r = runCli({});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_NE(r.out.find("Ready @ 57600 baud n,8,1."), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Verifying ... "), std::string::npos) << r.out;
    }
    {
        // The command line wins over the file.
        const ChildResult r = runCli({"--no-verify", "-b", "38400"});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_NE(r.out.find("Ready @ 38400 baud n,8,1."), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Verifying"), std::string::npos) << r.out;
    }
    EXPECT_EQ(readFile(settingsBase_ + ".ini"), settings);
    EXPECT_EQ(fs::last_write_time(settingsBase_ + ".ini"), written);
}

TEST_F(CliRun, DefaultSettingsComeFromBesideTheProgram) {
    // A copy of the program in a folder of its own, with its own sorbel.ini or none.
    const fs::path copy = dir_.path() / "sorbel-cli";
    fs::copy_file(cliProgram, copy);
    ChildOptions options;
    options.program = copy.string();
    options.limit = childLimit;
    {
        // No sorbel.ini: the file defaults to sample.hex beside the program, absent here.
        const ChildResult r = runChild(options);
        EXPECT_EQ(r.exitStatus, 4) << r.err;
        EXPECT_NE(r.err.find((dir_.path() / "sample.hex").string() + ": cannot open"),
                  std::string::npos)
            << r.err;
        EXPECT_FALSE(fs::exists(dir_.path() / "sorbel.ini")) << "reading never creates it";
    }
    auto target = startTarget();
    writeFile(dir_.path() / "sorbel.ini",
              "[Sorbel]\nPort=" + target->portPath() + "\nFile=" + hexPath_ + "\nBaud=9600\n");
    const ChildResult r = runChild(options);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.out.find("Ready @ 9600 baud n,8,1."), std::string::npos) << r.out;
    EXPECT_EQ(countCommands(*target, 'W'), 6U);
}

} // namespace
} // namespace sorbel::cli::test
