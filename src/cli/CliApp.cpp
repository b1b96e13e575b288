// sorbel-cli's run: options, settings, the file check, the sessions and the closing table.
#include "cli/CliApp.h"

#include "cli/CliOptions.h"
#include "cli/Console.h"
#include "cli/FileCheck.h"
#include "cli/PortSession.h"
#include "serial/PortDiscovery.h"
#include "settings/DownloadSettings.h"
#include "sorbel/Version.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unistd.h>

namespace sorbel::cli {

namespace {

std::atomic<bool> interruptFlag{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void onInterruptSignal(int /*signal*/) {
    interruptFlag.store(true);
}

// How often the sessions are looked at when nothing wakes the loop earlier.
constexpr auto pollInterval = std::chrono::milliseconds(50);

class Waker {
public:
    void wake() {
        {
            std::lock_guard lock(mutex_);
            woken_ = true;
        }
        condition_.notify_one();
    }
    void waitFor(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        condition_.wait_for(lock, limit, [this] { return woken_; });
        woken_ = false;
    }

private:
    std::mutex mutex_;
    std::condition_variable condition_;
    bool woken_ = false;
};

void say(std::FILE* err, const std::string& text) {
    const std::string line = std::string(programName) + ": " + escapeMessageText(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), err);
    std::fflush(err);
}

int usageError(std::FILE* err, const std::string& text) {
    say(err, text);
    const std::string hint =
        std::string("Try '") + programName + " --help' for more information.\n";
    std::fwrite(hint.data(), 1, hint.size(), err);
    std::fflush(err);
    return exitUsage;
}

bool barsWanted(std::FILE* err, bool quiet) {
    if (quiet || ::isatty(::fileno(err)) != 1) {
        return false;
    }
    const char* term = std::getenv("TERM");
    return term == nullptr || std::strcmp(term, "dumb") != 0;
}

void printTable(Console& console, const std::vector<std::unique_ptr<PortSession>>& sessions) {
    std::size_t portWidth = 4;
    for (const auto& session : sessions) {
        portWidth = std::max(portWidth, escapeMessageText(session->portName()).size());
    }
    char row[512];
    std::snprintf(row, sizeof row, "%-*s  %-11s  %10s  %7s", static_cast<int>(portWidth), "PORT",
                  "RESULT", "BYTES", "SECONDS");
    console.plainLine(row);
    for (const auto& session : sessions) {
        const std::string port = escapeMessageText(session->portName());
        std::snprintf(row, sizeof row, "%-*s  %-11s  %10llu  %7.1f", static_cast<int>(portWidth),
                      port.c_str(), describeResult(session->result()),
                      static_cast<unsigned long long>(session->bytesWritten()), session->seconds());
        console.plainLine(row);
    }
}

const char* yesNo(bool on) {
    return on ? optionYes : optionNo;
}

} // namespace

void installInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = onInterruptSignal;
    sigemptyset(&action.sa_mask);
    // A second signal takes the default action: the way out if stopping should ever hang.
    action.sa_flags = SA_RESETHAND;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

void requestInterrupt() {
    interruptFlag.store(true);
}

int runCli(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err) {
    const ParseResult parsed = parseCommandLine(arguments);
    switch (parsed.action) {
    case CliAction::usageError:
        return usageError(err, parsed.error);
    case CliAction::help: {
        const std::string text = usageText(programName);
        std::fwrite(text.data(), 1, text.size(), out);
        std::fflush(out);
        return exitOk;
    }
    case CliAction::version:
        std::fprintf(out, "%s %s\n", programName, versionText);
        std::fflush(out);
        return exitOk;
    case CliAction::listPorts: {
        const std::vector<PortInfo> found = discoverPorts();
        for (const PortInfo& port : found) {
            const std::string line = escapeMessageText(port.describe()) + "\n";
            std::fwrite(line.data(), 1, line.size(), out);
        }
        std::fflush(out);
        if (found.empty()) {
            say(err, "no serial ports found");
        }
        return exitOk;
    }
    case CliAction::download:
        break;
    }
    const CliOptions& options = parsed.options;

    // Settings: the named file, or the GUI's default file beside the executable; read only.
    SettingsStore store;
    if (options.settingsName) {
        store.locateSettingsFile(std::vector<std::string>{*options.settingsName});
        const std::string path = store.snapshot().settingsFile;
        if (::access(path.c_str(), R_OK) != 0) {
            const int error = errno;
            return usageError(err, "settings file '" + path + "': " +
                                       (error == ENOENT ? "not found" : std::strerror(error)));
        }
    } else {
        store.locateSettingsFile(std::vector<std::string>{});
    }
    store.loadSettings();
    DownloadSettings settings = store.snapshot();
    if (options.baud) {
        settings.baud = *options.baud;
    }
    if (options.file) {
        settings.hexFile = *options.file;
    }
    if (options.massErase) {
        settings.massErase = yesNo(*options.massErase);
    }
    if (options.program) {
        settings.program = yesNo(*options.program);
    }
    if (options.verify) {
        settings.verify = yesNo(*options.verify);
    }
    std::vector<std::string> ports = options.ports;
    if (ports.empty()) {
        if (settings.port.empty()) {
            return usageError(err, "no port: give one with --port (the settings file '" +
                                       settings.settingsFile + "' names none)");
        }
        ports.push_back(settings.port);
    }

    const FileCheckResult file = checkHexFile(settings.hexFile);
    if (!file.ok) {
        say(err, file.message);
        return exitFile;
    }

    Console console(out, err, barsWanted(err, options.quiet));
    Waker waker;
    SessionOptions sessionOptions;
    sessionOptions.run = options.run;
    sessionOptions.quiet = options.quiet;
    sessionOptions.timeoutSeconds = options.timeoutSeconds;
    sessionOptions.prefixLines = ports.size() > 1;
    std::vector<std::unique_ptr<PortSession>> sessions;
    for (const std::string& port : ports) {
        sessions.push_back(std::make_unique<PortSession>(
            port, settings, file.dataBytes, sessionOptions, console, [&waker] { waker.wake(); }));
    }
    for (auto& session : sessions) {
        session->start();
    }

    bool interrupted = false;
    for (;;) {
        if (interruptFlag.load()) {
            interrupted = true;
            for (auto& session : sessions) {
                session->interrupt();
            }
            break;
        }
        bool allFinished = true;
        const auto now = Clock::now();
        for (auto& session : sessions) {
            allFinished = session->poll(now) && allFinished;
        }
        if (allFinished) {
            break;
        }
        console.tick();
        waker.waitFor(pollInterval);
    }
    console.finishBars();

    if (interrupted) {
        say(err, "interrupted; every port was stopped");
    }
    int status = exitOk;
    for (const auto& session : sessions) {
        status = std::max(status, exitStatusOf(session->result()));
    }
    if (sessions.size() > 1) {
        printTable(console, sessions);
    }
    // The workers end here, before the console and the waker they report to.
    sessions.clear();
    return interrupted ? exitInterrupted : status;
}

} // namespace sorbel::cli
