// CliOptions: the command line of sorbel-cli, parsed without side effects.
//
// Contract:
//  - parseCommandLine(arguments) takes the words after the program's name and never prints,
//    exits or touches global state, so tests and fuzzers may call it with any input.
//  - GNU style: long options as "--name VALUE" or "--name=VALUE", unique prefixes of long
//    names accepted; short options bundled ("-qp DEV", "-pDEV"); "--" ends the options; one
//    positional argument names the HEX file.
//  - Every option that is absent stays unset (std::nullopt), so the caller can take its
//    value from the settings file instead.
//  - A usage error gives CliAction::usageError and a one-line error that names the option or
//    the value and what is wrong with it; the program then exits with status 2.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sorbel::cli {

inline constexpr double defaultTimeoutSeconds = 60.0;
// Longest accepted identification wait; 0 means no limit at all.
inline constexpr double maxTimeoutSeconds = 1e7;

struct CliOptions {
    std::vector<std::string> ports; // in command-line order, no duplicates
    std::optional<std::string> baud;
    std::optional<std::string> file;
    std::optional<std::string> settingsName; // without a trailing ".ini"
    std::optional<bool> massErase;
    std::optional<bool> program;
    std::optional<bool> verify;
    bool run = false;
    bool quiet = false;
    double timeoutSeconds = defaultTimeoutSeconds; // 0: wait for ever
};

enum class CliAction { download, listPorts, help, version, usageError };

struct ParseResult {
    CliAction action = CliAction::usageError;
    CliOptions options;
    std::string error; // set for usageError only
};

ParseResult parseCommandLine(const std::vector<std::string>& arguments);

// The --help text, ending in a newline.
std::string usageText(const std::string& programName);

} // namespace sorbel::cli
