// A bounded run of a child program with its output captured.
#include "ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace sorbel::cli::test {

namespace {

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = -1;
    }
};

bool makePipe(Fd& readEnd, Fd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    readEnd.fd = fds[0];
    writeEnd.fd = fds[1];
    return true;
}

bool makeTerminal(Fd& master, Fd& slave, unsigned short columns) {
    master.fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master.fd < 0 || ::grantpt(master.fd) != 0 || ::unlockpt(master.fd) != 0) {
        return false;
    }
    char name[128];
    if (::ptsname_r(master.fd, name, sizeof name) != 0) {
        return false;
    }
    slave.fd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave.fd < 0) {
        return false;
    }
    winsize size{};
    size.ws_col = columns;
    size.ws_row = 40;
    ::ioctl(slave.fd, TIOCSWINSZ, &size);
    // No translation of "\n" into "\r\n": the test reads what the program wrote.
    termios mode{};
    if (::tcgetattr(slave.fd, &mode) == 0) {
        mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        ::tcsetattr(slave.fd, TCSANOW, &mode);
    }
    return true;
}

// Reads what is there; false at the end of the stream.
bool drain(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            return true;
        }
        return false; // 0: end of file; EIO: the terminal's last writer has gone
    }
}

} // namespace

ChildResult runChild(const ChildOptions& options) {
    ChildResult result;
    Fd outRead, outWrite, errRead, errWrite;
    if (!makePipe(outRead, outWrite)) {
        return result;
    }
    const bool madeErr = options.stderrIsTerminal
                             ? makeTerminal(errRead, errWrite, options.terminalColumns)
                             : makePipe(errRead, errWrite);
    if (!madeErr) {
        return result;
    }
    ::fcntl(outRead.fd, F_SETFL, O_NONBLOCK);
    ::fcntl(errRead.fd, F_SETFL, O_NONBLOCK);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outWrite.fd, 1);
    posix_spawn_file_actions_adddup2(&actions, errWrite.fd, 2);
    // The child's signals start at their defaults, whatever the test process changed.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        sigaddset(&defaults, s);
    }
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<std::string> argumentTexts{options.program};
    argumentTexts.insert(argumentTexts.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (auto& a : argumentTexts) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> environmentTexts;
    for (char** e = environ; *e != nullptr; ++e) {
        environmentTexts.emplace_back(*e);
    }
    environmentTexts.insert(environmentTexts.end(), options.extraEnvironment.begin(),
                            options.extraEnvironment.end());
    std::vector<char*> envp;
    for (auto& e : environmentTexts) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, options.program.c_str(), &actions, &attributes,
                                      argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        result.err = std::string("spawn failed: ") + std::strerror(spawned);
        return result;
    }
    outWrite.reset();
    errWrite.reset();

    const auto deadline = std::chrono::steady_clock::now() + options.limit;
    bool outOpen = true;
    bool errOpen = true;
    bool exited = false;
    int status = 0;
    while (!exited || outOpen || errOpen) {
        pollfd fds[2] = {{outRead.fd, POLLIN, 0}, {errRead.fd, POLLIN, 0}};
        if (!outOpen) {
            fds[0].fd = -1;
        }
        if (!errOpen) {
            fds[1].fd = -1;
        }
        ::poll(fds, 2, 20);
        if (outOpen) {
            outOpen = drain(outRead.fd, result.out);
        }
        if (errOpen) {
            errOpen = drain(errRead.fd, result.err);
        }
        if (options.signalWhen && !result.signalSent && !exited &&
            options.signalWhen(result.out, result.err)) {
            ::kill(pid, options.signal);
            result.signalSent = true;
        }
        if (!exited && ::waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            // A terminal stays readable until drained; one more pass takes the rest.
            if (options.stderrIsTerminal) {
                drain(errRead.fd, result.err);
                errOpen = false;
            }
        }
        if (std::chrono::steady_clock::now() > deadline) {
            result.timedOut = true;
            if (!exited) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                exited = true;
            }
            break;
        }
    }
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.exitStatus = 128 + WTERMSIG(status);
    }
    return result;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

} // namespace sorbel::cli::test
