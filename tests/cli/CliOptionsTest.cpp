// The option parser as a table: what each command line yields, and what each bad one says.
#include "cli/CliOptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sorbel::cli {
namespace {

using Args = std::vector<std::string>;

TEST(CliOptions, GoodCommandLines) {
    struct Case {
        Args args;
        CliAction action;
        std::vector<std::string> ports;
        std::string file; // "" when unset
        std::string baud; // "" when unset
        int massErase;    // -1 unset, 0 off, 1 on
        int program;
        int verify;
        bool run;
        bool quiet;
        double timeout;
        std::string settings;
    };
    const std::vector<Case> cases = {
        {{}, CliAction::download, {}, "", "", -1, -1, -1, false, false, 60, ""},
        {{"a.hex"}, CliAction::download, {}, "a.hex", "", -1, -1, -1, false, false, 60, ""},
        {{"-p", "COM3", "-b", "115200", "-f", "x.hex"},
         CliAction::download,
         {"COM3"},
         "x.hex",
         "115200",
         -1,
         -1,
         -1,
         false,
         false,
         60,
         ""},
        {{"--port=/dev/ttyUSB0", "--baud=9600", "--file=y.hex"},
         CliAction::download,
         {"/dev/ttyUSB0"},
         "y.hex",
         "9600",
         -1,
         -1,
         -1,
         false,
         false,
         60,
         ""},
        // Bundled short options, a value glued to its letter, repeated ports.
        {{"-qpCOM1", "-p", "ttyACM0", "-b57600"},
         CliAction::download,
         {"COM1", "ttyACM0"},
         "",
         "57600",
         -1,
         -1,
         -1,
         false,
         true,
         60,
         ""},
        // Later switches override earlier ones.
        {{"--mass-erase", "--no-program", "--verify", "--no-mass-erase", "--run"},
         CliAction::download,
         {},
         "",
         "",
         0,
         0,
         1,
         true,
         false,
         60,
         ""},
        {{"--no-verify", "--program", "--timeout", "0"},
         CliAction::download,
         {},
         "",
         "",
         -1,
         1,
         0,
         false,
         false,
         0,
         ""},
        {{"--timeout=2.5", "--settings", "lab.ini", "f.hex"},
         CliAction::download,
         {},
         "f.hex",
         "",
         -1,
         -1,
         -1,
         false,
         false,
         2.5,
         "lab"},
        // Unique prefixes of long options, as getopt_long accepts them.
        {{"--verif", "--mass", "--tim=7", "--sett=base"},
         CliAction::download,
         {},
         "",
         "",
         1,
         -1,
         1,
         false,
         false,
         7,
         "base"},
        // After "--" a word that starts with a dash is the file.
        {{"--", "-odd.hex"},
         CliAction::download,
         {},
         "-odd.hex",
         "",
         -1,
         -1,
         -1,
         false,
         false,
         60,
         ""},
        {{"--help", "--bogus"}, CliAction::help, {}, "", "", -1, -1, -1, false, false, 60, ""},
        {{"-V"}, CliAction::version, {}, "", "", -1, -1, -1, false, false, 60, ""},
        {{"--list-ports"}, CliAction::listPorts, {}, "", "", -1, -1, -1, false, false, 60, ""},
        {{"--list"}, CliAction::listPorts, {}, "", "", -1, -1, -1, false, false, 60, ""},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const auto& a : c.args) {
            joined += " [" + a + "]";
        }
        SCOPED_TRACE("arguments:" + joined);
        const ParseResult r = parseCommandLine(c.args);
        ASSERT_EQ(r.action, c.action) << r.error;
        if (c.action != CliAction::download) {
            continue;
        }
        const CliOptions& o = r.options;
        EXPECT_EQ(o.ports, c.ports);
        EXPECT_EQ(o.file.value_or(""), c.file);
        EXPECT_EQ(o.baud.value_or(""), c.baud);
        const auto tri = [](const std::optional<bool>& v) { return v ? (*v ? 1 : 0) : -1; };
        EXPECT_EQ(tri(o.massErase), c.massErase);
        EXPECT_EQ(tri(o.program), c.program);
        EXPECT_EQ(tri(o.verify), c.verify);
        EXPECT_EQ(o.run, c.run);
        EXPECT_EQ(o.quiet, c.quiet);
        EXPECT_DOUBLE_EQ(o.timeoutSeconds, c.timeout);
        EXPECT_EQ(o.settingsName.value_or(""), c.settings);
    }
}

TEST(CliOptions, BadCommandLinesNameTheOptionAndTheCause) {
    struct Case {
        Args args;
        std::vector<std::string> inMessage;
    };
    const std::vector<Case> cases = {
        {{"--bogus"}, {"unrecognized option", "'--bogus'"}},
        {{"-x"}, {"invalid option", "'-x'"}},
        {{"--p", "X"}, {"ambiguous", "--port", "--program"}},
        {{"--no-"}, {"ambiguous"}},
        {{"-p"}, {"'-p'", "requires an argument"}},
        {{"--port"}, {"'--port'", "requires an argument"}},
        {{"-p", "-q"}, {"'-p'", "requires an argument", "'-q'"}},
        {{"--port="}, {"'--port'", "port name is empty"}},
        {{"--verify=yes"}, {"'--verify'", "doesn't allow an argument"}},
        {{"-b", "fast"}, {"'-b'", "'fast'", "not a positive whole number"}},
        {{"--baud=0"}, {"'0'", "not a positive whole number"}},
        {{"--baud=-9600"}, {"'-9600'", "not a positive whole number"}},
        {{"--baud=96OO"}, {"'96OO'"}},
        {{"--baud=123456789012"}, {"not a positive whole number"}},
        {{"--timeout=-1"}, {"'-1'", "negative", "0 to wait for ever"}},
        {{"--timeout=soon"}, {"'soon'", "not a number of seconds"}},
        {{"--timeout=nan"}, {"not a number of seconds"}},
        {{"--timeout=inf"}, {"not a number of seconds"}},
        {{"--timeout=1e99"}, {"too long"}},
        {{"--timeout="}, {"not a number of seconds"}},
        {{"a.hex", "b.hex"}, {"unexpected argument 'b.hex'", "only one HEX file"}},
        {{"-f", "a.hex", "b.hex"}, {"given twice", "'a.hex'", "'b.hex'"}},
        {{"-f", "a.hex", "--file", "b.hex"}, {"given twice"}},
        {{""}, {"HEX file name is empty"}},
        {{"-p", "COM1", "-p", "COM1"}, {"port 'COM1' is given twice"}},
        {{"-p", "COM2", "-p", "/dev/ttyS1"}, {"'COM2'", "'/dev/ttyS1'", "same device"}},
        {{"--settings="}, {"settings name is empty"}},
        {{"--settings=.ini"}, {"settings name is empty"}},
        {{"-p", std::string("CO\x1bM1")}, {}}, // accepted: the port reports it
        {{"--port", std::string("A\0B", 3)}, {"zero byte"}},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const auto& a : c.args) {
            joined += " [" + a + "]";
        }
        SCOPED_TRACE("arguments:" + joined);
        const ParseResult r = parseCommandLine(c.args);
        if (c.inMessage.empty()) {
            EXPECT_EQ(r.action, CliAction::download);
            continue;
        }
        ASSERT_EQ(r.action, CliAction::usageError);
        for (const std::string& part : c.inMessage) {
            EXPECT_NE(r.error.find(part), std::string::npos)
                << "message: " << r.error << "\nmissing: " << part;
        }
        // One line, no raw control characters.
        for (const char ch : r.error) {
            EXPECT_GE(static_cast<unsigned char>(ch), 0x20) << r.error;
        }
    }
}

TEST(CliOptions, HelpNamesEveryOptionAndExitStatus) {
    const std::string text = usageText("sorbel-cli");
    for (const char* part :
         {"--port",     "--baud",       "--file",   "--mass-erase", "--no-mass-erase",
          "--program",  "--no-program", "--verify", "--no-verify",  "--run",
          "--settings", "--timeout",    "--quiet",  "--list-ports", "--help",
          "--version",  "  0 ",         "  1 ",     "  2 ",         "  3 ",
          "  4 "}) {
        EXPECT_NE(text.find(part), std::string::npos) << part;
    }
}

} // namespace
} // namespace sorbel::cli
