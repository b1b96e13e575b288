// Fuzzes sorbel-cli's option parser with arbitrary argument words (any bytes, NUL included).
//
// What must hold:
//  - a usage error carries a one-line message with every control byte escaped, and any
//    other result none;
//  - every value handed on obeys its rule: ports non-empty, free of NUL bytes and naming
//    different devices; the baud 1 to 8 digits, not all zeros; the timeout finite, between 0
//    and the maximum; the file and the settings name non-empty and free of NUL bytes;
//  - a download's options, written back as a canonical command line, parse to the same
//    options: nothing is read differently the second time.
#include "cli/CliOptions.h"
#include "serial/SerialPort.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace sorbel::cli;

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

bool cleanName(const std::optional<std::string>& text) {
    return !text || (!text->empty() && text->find('\0') == std::string::npos);
}

bool sameOptions(const CliOptions& a, const CliOptions& b) {
    return a.ports == b.ports && a.baud == b.baud && a.file == b.file &&
           a.settingsName == b.settingsName && a.massErase == b.massErase &&
           a.program == b.program && a.verify == b.verify && a.run == b.run && a.quiet == b.quiet &&
           a.timeoutSeconds == b.timeoutSeconds;
}

std::vector<std::string> canonical(const CliOptions& o) {
    std::vector<std::string> words;
    for (const auto& port : o.ports) {
        words.push_back("--port=" + port);
    }
    if (o.baud) {
        words.push_back("--baud=" + *o.baud);
    }
    if (o.settingsName) {
        words.push_back("--settings=" + *o.settingsName + ".ini");
    }
    if (o.massErase) {
        words.push_back(*o.massErase ? "--mass-erase" : "--no-mass-erase");
    }
    if (o.program) {
        words.push_back(*o.program ? "--program" : "--no-program");
    }
    if (o.verify) {
        words.push_back(*o.verify ? "--verify" : "--no-verify");
    }
    if (o.run) {
        words.push_back("--run");
    }
    if (o.quiet) {
        words.push_back("-q");
    }
    char timeout[64];
    std::snprintf(timeout, sizeof timeout, "--timeout=%.17g", o.timeoutSeconds);
    words.push_back(timeout);
    if (o.file) {
        words.push_back("--");
        words.push_back(*o.file);
    }
    return words;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider input(bytes, size);
    std::vector<std::string> words;
    while (input.remaining_bytes() > 0 && words.size() < 64) {
        words.push_back(input.ConsumeRandomLengthString(256));
    }

    const ParseResult result = parseCommandLine(words);
    if (result.action == CliAction::usageError) {
        check(!result.error.empty());
        for (const char c : result.error) {
            const auto byte = static_cast<unsigned char>(c);
            check(byte >= 0x20 && byte != 0x7f);
        }
        return 0;
    }
    check(result.error.empty());
    if (result.action != CliAction::download) {
        return 0;
    }

    const CliOptions& o = result.options;
    std::set<std::string> devices;
    for (const auto& port : o.ports) {
        check(cleanName(port));
        check(devices.insert(sorbel::SerialPort::deviceName(port)).second);
    }
    if (o.baud) {
        check(!o.baud->empty() && o.baud->size() <= 8);
        check(o.baud->find_first_not_of("0123456789") == std::string::npos);
        check(o.baud->find_first_not_of('0') != std::string::npos);
    }
    check(std::isfinite(o.timeoutSeconds) && o.timeoutSeconds >= 0 &&
          o.timeoutSeconds <= maxTimeoutSeconds);
    check(cleanName(o.file) && cleanName(o.settingsName));

    const ParseResult again = parseCommandLine(canonical(o));
    check(again.action == CliAction::download);
    check(sameOptions(again.options, o));
    return 0;
}
