// Runs sorbel-cli, bounded in time, and tells when a text first appeared on its standard
// error, so a case can measure how soon a failure was reported.
#pragma once

#include "ChildProcess.h"

#include <chrono>
#include <string>
#include <vector>

namespace sorbel::faults {

using cli::test::ChildResult;
using cli::test::splitLines;

inline const std::string cliProgram = SORBEL_CLI_PROGRAM;

struct CliRun {
    ChildResult result;
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point ended;
    // When `watch` was first seen on standard error; max() when never.
    std::chrono::steady_clock::time_point seenAt = std::chrono::steady_clock::time_point::max();
};

inline CliRun runCli(const std::vector<std::string>& arguments,
                     std::chrono::milliseconds limit = std::chrono::milliseconds(40000),
                     const std::string& watch = {}) {
    CliRun run;
    cli::test::ChildOptions options;
    options.program = cliProgram;
    options.arguments = arguments;
    options.limit = limit;
    options.signalWhen = [&](const std::string&, const std::string& err) {
        if (!watch.empty() && run.seenAt == std::chrono::steady_clock::time_point::max() &&
            err.find(watch) != std::string::npos)
            run.seenAt = std::chrono::steady_clock::now();
        return false;
    };
    run.started = std::chrono::steady_clock::now();
    run.result = cli::test::runChild(options);
    run.ended = std::chrono::steady_clock::now();
    return run;
}

} // namespace sorbel::faults
