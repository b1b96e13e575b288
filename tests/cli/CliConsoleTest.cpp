// sorbel-cli's output rules: lines stay lines, bytes from a target cannot drive the terminal,
// and bar lines fit the terminal.
#include "cli/Console.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace sorbel::cli {
namespace {

std::string contents(std::FILE* file) {
    std::rewind(file);
    std::string text;
    char buffer[256];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, n);
    }
    return text;
}

TEST(CliConsole, TargetBytesInStatusLinesAreMadeVisible) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ASSERT_NE(out, nullptr);
    ASSERT_NE(err, nullptr);
    {
        Console console(out, err, false);
        // A noisy target: a terminal escape, a line break and a high byte in the text.
        console.statusLine("COM1: ", std::string("QZ\x1b[2J\r\nK\xff received.") +
                                         "Waiting for correct ID string.");
        console.statusLine("", "    Press Download and pulse Reset on hardware.");
        console.messageText("COM1: ", "Error at 0x0 - 0x10 \n Verify aborted.");
        console.messageText("", "/tmp/caf\xc3\xa9.hex line 3: checksum error");
    }
    EXPECT_EQ(contents(out), "COM1: QZ\\x1b[2J\\x0d\\x0aK\\xff received.Waiting for correct ID "
                             "string.\n    Press Download and pulse Reset on hardware.\n");
    EXPECT_EQ(contents(err), "COM1: Error at 0x0 - 0x10 \nCOM1:  Verify aborted.\n"
                             "/tmp/caf\xc3\xa9.hex line 3: checksum error\n");
    std::fclose(out);
    std::fclose(err);
}

TEST(CliConsole, BarLines) {
    const auto start = Clock::now();
    const auto later = start + std::chrono::seconds(2);
    struct Case {
        BarState bar;
        Clock::time_point now;
        std::size_t width;
        std::vector<std::string> parts;
    };
    BarState writing{"/dev/pts/7", BarPhase::writing, "", 2048, 4096, start, 60};
    BarState overEstimate = writing;
    overEstimate.position = 9000; // more commands than the size estimate foresaw
    BarState waiting{"COM1", BarPhase::waiting, "", 0, 0, start, 60};
    BarState failed{"COM1", BarPhase::failed, "no answer", 0, 0, start, 60};
    const std::vector<Case> cases = {
        {writing,
         later,
         100,
         {"/dev/pts/7  writing  [", "#", "-]", "2048 B of 4096 B", "1024 B/s", "0:02 left"}},
        {overEstimate, later, 100, {"4096 B of 4096 B", "0:00 left", "[####"}},
        {writing, start, 100, {"2048 B of 4096 B"}}, // no rate yet, no division by zero
        {waiting, later, 100, {"COM1  waiting for the target  2 s of 60 s"}},
        {failed, later, 100, {"COM1  failed: no answer"}},
        {writing, later, 30, {"/dev/pts/7  writing  2048 B"}}, // no room for the bar
    };
    for (const Case& c : cases) {
        const std::string line = renderBar(c.bar, c.now, c.width);
        SCOPED_TRACE(line);
        EXPECT_LT(line.size(), c.width);
        for (const std::string& part : c.parts) {
            EXPECT_NE(line.find(part), std::string::npos) << part;
        }
    }
}

} // namespace
} // namespace sorbel::cli
