// ChildProcess: runs a program with its output captured, bounded in time, for the tests of
// sorbel-cli.
//
// run(options) starts the program (posix_spawn, safe in a threaded test process), reads its
// standard output through a pipe and its standard error through a pipe or, when
// stderrIsTerminal, through a pseudo-terminal of the given width. It calls onOutput after
// every chunk read (with everything read so far) and sends `signal` when that returns true
// once. After `limit` the program is killed and timedOut is set; it never waits longer.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace sorbel::cli::test {

struct ChildOptions {
    std::string program;
    std::vector<std::string> arguments;
    std::vector<std::string> extraEnvironment; // "NAME=value", added to ours
    bool stderrIsTerminal = false;
    unsigned short terminalColumns = 100;
    std::chrono::milliseconds limit{30000};
    // Called with (stdout so far, stderr so far); when it first returns true, `signal` is sent.
    std::function<bool(const std::string&, const std::string&)> signalWhen;
    int signal = 0;
};

struct ChildResult {
    int exitStatus = -1; // exit code, or 128 + signal number when killed by a signal
    bool timedOut = false;
    bool signalSent = false;
    std::string out;
    std::string err;
};

ChildResult runChild(const ChildOptions& options);

// Lines of a text, without their line ends.
std::vector<std::string> splitLines(const std::string& text);

} // namespace sorbel::cli::test
