// sorbel-cli's option parser: a small GNU-style reader over a table of options.
#include "cli/CliOptions.h"

#include "serial/SerialPort.h"

#include <array>
#include <charconv>
#include <cmath>
#include <string_view>

namespace sorbel::cli {

namespace {

enum class OptionId {
    port,
    baud,
    file,
    massErase,
    noMassErase,
    program,
    noProgram,
    verify,
    noVerify,
    run,
    settings,
    timeout,
    quiet,
    listPorts,
    help,
    version,
};

struct OptionRule {
    OptionId id;
    std::string_view longName;
    char shortName; // 0: none
    bool takesValue;
};

constexpr std::array<OptionRule, 16> optionTable{{
    {OptionId::port, "port", 'p', true},
    {OptionId::baud, "baud", 'b', true},
    {OptionId::file, "file", 'f', true},
    {OptionId::massErase, "mass-erase", 0, false},
    {OptionId::noMassErase, "no-mass-erase", 0, false},
    {OptionId::program, "program", 0, false},
    {OptionId::noProgram, "no-program", 0, false},
    {OptionId::verify, "verify", 0, false},
    {OptionId::noVerify, "no-verify", 0, false},
    {OptionId::run, "run", 0, false},
    {OptionId::settings, "settings", 0, true},
    {OptionId::timeout, "timeout", 0, true},
    {OptionId::quiet, "quiet", 'q', false},
    {OptionId::listPorts, "list-ports", 0, false},
    {OptionId::help, "help", 'h', false},
    {OptionId::version, "version", 'V', false},
}};

// The longest baud text accepted; the port refuses rates its driver cannot set.
constexpr std::size_t maxBaudDigits = 8;

std::string quoted(std::string_view text) {
    std::string out = "'";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            static constexpr char digits[] = "0123456789abcdef";
            out += "\\x";
            out += digits[byte >> 4];
            out += digits[byte & 0xf];
        } else {
            out += c;
        }
    }
    return out + "'";
}

class Parser {
public:
    explicit Parser(const std::vector<std::string>& arguments) : args_(arguments) {}

    ParseResult parse() {
        bool optionsEnded = false;
        for (index_ = 0; index_ < args_.size() && !done_; ++index_) {
            const std::string& word = args_[index_];
            if (optionsEnded || word == "-" || word.empty() || word[0] != '-') {
                positional(word);
            } else if (word == "--") {
                optionsEnded = true;
            } else if (word.starts_with("--")) {
                longOption(std::string_view(word).substr(2));
            } else {
                shortOptions(std::string_view(word).substr(1));
            }
        }
        if (!done_) {
            result_.action = CliAction::download;
        }
        return result_;
    }

private:
    void fail(std::string message) {
        if (!done_) {
            result_.action = CliAction::usageError;
            result_.error = std::move(message);
            done_ = true;
        }
    }

    const OptionRule* findLong(std::string_view name) {
        const OptionRule* prefixMatch = nullptr;
        std::string candidates;
        int prefixCount = 0;
        for (const OptionRule& rule : optionTable) {
            if (rule.longName == name) {
                return &rule;
            }
            if (!name.empty() && rule.longName.starts_with(name)) {
                prefixMatch = &rule;
                ++prefixCount;
                candidates += " --";
                candidates += rule.longName;
            }
        }
        if (prefixCount == 1) {
            return prefixMatch;
        }
        if (prefixCount > 1) {
            fail("option " + quoted("--" + std::string(name)) +
                 " is ambiguous; possibilities:" + candidates);
        } else {
            fail("unrecognized option " + quoted("--" + std::string(name)));
        }
        return nullptr;
    }

    void longOption(std::string_view body) {
        const std::size_t equals = body.find('=');
        const std::string_view name = body.substr(0, equals);
        const OptionRule* rule = findLong(name);
        if (rule == nullptr) {
            return;
        }
        const std::string display = "--" + std::string(rule->longName);
        if (equals != std::string_view::npos) {
            if (!rule->takesValue) {
                fail("option " + quoted(display) + " doesn't allow an argument");
                return;
            }
            apply(*rule, display, std::string(body.substr(equals + 1)));
            return;
        }
        if (!rule->takesValue) {
            apply(*rule, display, {});
            return;
        }
        std::string value;
        if (nextValue(display, value)) {
            apply(*rule, display, value);
        }
    }

    void shortOptions(std::string_view letters) {
        for (std::size_t i = 0; i < letters.size() && !done_; ++i) {
            const OptionRule* rule = nullptr;
            for (const OptionRule& candidate : optionTable) {
                if (candidate.shortName != 0 && candidate.shortName == letters[i]) {
                    rule = &candidate;
                }
            }
            if (rule == nullptr) {
                fail("invalid option " + quoted(std::string("-") + letters[i]));
                return;
            }
            const std::string display = std::string("-") + rule->shortName;
            if (!rule->takesValue) {
                apply(*rule, display, {});
                continue;
            }
            if (i + 1 < letters.size()) {
                apply(*rule, display, std::string(letters.substr(i + 1)));
                return;
            }
            std::string value;
            if (nextValue(display, value)) {
                apply(*rule, display, value);
            }
            return;
        }
    }

    // The value of an option from the next word. A next word that looks like an option is
    // not taken: "-p -q" is a missing port, not a port named "-q".
    bool nextValue(const std::string& display, std::string& value) {
        if (index_ + 1 >= args_.size()) {
            fail("option " + quoted(display) + " requires an argument");
            return false;
        }
        const std::string& next = args_[index_ + 1];
        if (next.size() > 1 && next[0] == '-') {
            fail("option " + quoted(display) + " requires an argument (got the option " +
                 quoted(next) + ")");
            return false;
        }
        ++index_;
        value = next;
        return true;
    }

    void setFile(const std::string& value, const std::string& how) {
        if (value.empty()) {
            fail(how + ": the HEX file name is empty");
        } else if (value.find('\0') != std::string::npos) {
            fail(how + ": the HEX file name " + quoted(value) + " contains a zero byte");
        } else if (result_.options.file) {
            fail("the HEX file is given twice (" + quoted(*result_.options.file) + " and " +
                 quoted(value) + "); give one file");
        } else {
            result_.options.file = value;
        }
    }

    void positional(const std::string& word) {
        if (result_.options.file && !fileFromOption_) {
            fail("unexpected argument " + quoted(word) + ": only one HEX file can be given");
            return;
        }
        setFile(word, "argument");
    }

    void setPort(const std::string& display, const std::string& value) {
        if (value.empty()) {
            fail("option " + quoted(display) + ": the port name is empty");
            return;
        }
        if (value.find('\0') != std::string::npos) {
            fail("option " + quoted(display) + ": the port name " + quoted(value) +
                 " contains a zero byte");
            return;
        }
        const std::string device = SerialPort::deviceName(value);
        for (const std::string& earlier : result_.options.ports) {
            if (SerialPort::deviceName(earlier) == device) {
                if (earlier == value) {
                    fail("port " + quoted(value) + " is given twice");
                } else {
                    fail("ports " + quoted(earlier) + " and " + quoted(value) +
                         " name the same device " + quoted(device));
                }
                return;
            }
        }
        result_.options.ports.push_back(value);
    }

    void setBaud(const std::string& display, const std::string& value) {
        bool digitsOnly = !value.empty() && value.size() <= maxBaudDigits;
        for (const char c : value) {
            digitsOnly = digitsOnly && c >= '0' && c <= '9';
        }
        if (!digitsOnly || value.find_first_not_of('0') == std::string::npos) {
            fail("option " + quoted(display) + ": baud rate " + quoted(value) +
                 " is not a positive whole number");
            return;
        }
        result_.options.baud = value;
    }

    void setTimeout(const std::string& display, const std::string& value) {
        double seconds = 0;
        const char* first = value.data();
        const char* last = first + value.size();
        const auto [end, error] = std::from_chars(first, last, seconds);
        if (value.empty() || error != std::errc() || end != last || !std::isfinite(seconds)) {
            fail("option " + quoted(display) + ": " + quoted(value) +
                 " is not a number of seconds");
        } else if (seconds < 0) {
            fail("option " + quoted(display) + ": " + quoted(value) +
                 " is negative; give 0 to wait for ever");
        } else if (seconds > maxTimeoutSeconds) {
            fail("option " + quoted(display) + ": " + quoted(value) +
                 " seconds is too long; give 0 to wait for ever");
        } else {
            result_.options.timeoutSeconds = seconds;
        }
    }

    void setSettings(const std::string& display, std::string value) {
        if (value.ends_with(".ini")) {
            value.resize(value.size() - 4);
        }
        if (value.empty()) {
            fail("option " + quoted(display) + ": the settings name is empty");
        } else if (value.find('\0') != std::string::npos) {
            fail("option " + quoted(display) + ": the settings name contains a zero byte");
        } else {
            result_.options.settingsName = value;
        }
    }

    void apply(const OptionRule& rule, const std::string& display, const std::string& value) {
        CliOptions& o = result_.options;
        switch (rule.id) {
        case OptionId::port:
            setPort(display, value);
            break;
        case OptionId::baud:
            setBaud(display, value);
            break;
        case OptionId::file:
            fileFromOption_ = true;
            setFile(value, "option " + quoted(display));
            break;
        case OptionId::massErase:
        case OptionId::noMassErase:
            o.massErase = rule.id == OptionId::massErase;
            break;
        case OptionId::program:
        case OptionId::noProgram:
            o.program = rule.id == OptionId::program;
            break;
        case OptionId::verify:
        case OptionId::noVerify:
            o.verify = rule.id == OptionId::verify;
            break;
        case OptionId::run:
            o.run = true;
            break;
        case OptionId::settings:
            setSettings(display, value);
            break;
        case OptionId::timeout:
            setTimeout(display, value);
            break;
        case OptionId::quiet:
            o.quiet = true;
            break;
        case OptionId::listPorts:
            result_.action = CliAction::listPorts;
            done_ = true;
            break;
        case OptionId::help:
            result_.action = CliAction::help;
            done_ = true;
            break;
        case OptionId::version:
            result_.action = CliAction::version;
            done_ = true;
            break;
        }
    }

    const std::vector<std::string>& args_;
    std::size_t index_ = 0;
    bool done_ = false;
    bool fileFromOption_ = false;
    ParseResult result_;
};

} // namespace

ParseResult parseCommandLine(const std::vector<std::string>& arguments) {
    return Parser(arguments).parse();
}

std::string usageText(const std::string& programName) {
    return "Usage: " + programName +
           " [OPTION]... [FILE]\n"
           "Program an Intel HEX file into the flash of one or more targets over serial\n"
           "lines, through the target's resident loader.\n"
           "\n"
           "  -p, --port DEV        serial port: COM1, /dev/ttyUSB0, ttyACM0, a pty path;\n"
           "                        repeat it to program several boards at once\n"
           "  -b, --baud N          line speed in baud\n"
           "  -f, --file FILE       the Intel HEX file (also as the one argument)\n"
           "      --mass-erase      erase the whole flash first   (--no-mass-erase)\n"
           "      --program         erase and write the file      (--no-program)\n"
           "      --verify          have the target check it      (--no-verify)\n"
           "      --run             start the program after a successful download\n"
           "      --settings NAME   take the defaults from NAME.ini instead of sorbel.ini\n"
           "                        beside the program; options given here win\n"
           "      --timeout SEC     give up when the target has not identified itself\n"
           "                        after SEC seconds (default 60; 0 waits for ever)\n"
           "  -q, --quiet           print only errors and the final result\n"
           "      --list-ports      list the serial ports present, one a line, and exit\n"
           "  -h, --help            show this help and exit\n"
           "  -V, --version         show the version and exit\n"
           "\n"
           "Reset each board into its loader after the program says so. The loader's\n"
           "status lines go to standard output (prefixed with the port when there are\n"
           "several ports), messages to standard error, with a progress bar per port when\n"
           "standard error is a terminal. The settings file is only read, never written.\n"
           "\n"
           "Exit status:\n"
           "  0  every port succeeded\n"
           "  1  a download or verify failed (\"Flash error.\")\n"
           "  2  the command line or the settings name is wrong\n"
           "  3  a port or connection failure: the port did not open, a read failed, the\n"
           "     line hung up, the target did not answer in time, the run command failed\n"
           "  4  the HEX file cannot be opened or is not a valid Intel HEX file\n"
           "  130  interrupted (Ctrl-C); every port is stopped first\n"
           "With several ports the worst status is returned, after a table of the results.\n";
}

} // namespace sorbel::cli
