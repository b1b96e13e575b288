// sorbel-bench: the download's figures against the simulated target.
//
//   sorbel-bench wire BAUD      full image, program + verify, paced target: measured / ideal
//   sorbel-bench overhead       the same download, unpaced target: host time per command
//   sorbel-bench idle [SEC]     processor time of the process with the worker idle
//   sorbel-bench memory [MB]    peak resident memory of sorbel-cli, MB-sized file against 1 MB
//
// Each prints its details on standard error and one summary line on standard output; the exit
// status is 0 when the figure meets its goal, 1 when it does not, 2 when it could not be taken.
#include "BenchSupport.h"

#include "loader/CommandPacket.h"
#include "loader/ProgrammingJob.h"
#include "loader/SerialThread.h"
#include "serial/SerialPort.h"
#include "settings/DownloadSettings.h"
#include "sim/SimulatedTarget.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace sorbel::bench {

namespace {

using namespace std::chrono_literals;

constexpr int exitGoalMet = 0;
constexpr int exitGoalMissed = 1;
constexpr int exitBroken = 2;

// A small MCU with 512-byte flash pages: the Silicon Labs EFM8 (8051 core) erases a page in
// 5.2-5.5 ms and writes a byte in 19-21 us. Typical values; both fit well inside the answer
// wait of the fastest rate measured (10 ms at 230400 baud, 19 ms at 115200).
constexpr auto chipPageErase = 5350us;
constexpr auto chipWriteByte = 20us;
constexpr const char* chipName = "EFM8-class MCU: page erase 5.35 ms, byte write 20 us";

constexpr double wireGoal = 1.02;
constexpr double overheadGoalUs = 30;
constexpr double idleGoalPercent = 0.5;
constexpr double memoryGoal = 1.1;

constexpr auto downloadLimit = std::chrono::milliseconds(10min);

struct Download {
    bool ok = false;
    std::string failure;
    Clock::time_point started{};
    Clock::time_point ended{};
    std::vector<TimedLine> lines;
    std::vector<sim::ReceivedPacket> packets;
    int wakes = 0;
    int resyncs = 0;
};

DownloadSettings settingsFor(const std::string& port, long baud) {
    DownloadSettings settings;
    settings.port = port;
    settings.baud = std::to_string(baud);
    settings.massErase = optionNo;
    settings.program = optionYes;
    settings.verify = optionYes;
    settings.autorun = optionNo;
    return settings;
}

// Start as the main window presses it; waits for the end of the connection.
bool runDownload(BenchHost& host, SerialThread& worker, Download& result) {
    host.controlFlags.targetReady.set(0);
    host.controlFlags.connectPending.set(1);
    host.controlFlags.linkActive.set(1);
    host.controlFlags.pingEnabled.set(1);
    result.started = Clock::now();
    worker.resume();
    if (!host.waitForEnd(downloadLimit)) {
        result.failure = "the download did not end within its limit";
        return false;
    }
    result.lines = host.lines();
    result.ended = host.timeOf("Download Complete.");
    if (result.ended == Clock::time_point{}) {
        result.failure = "the download did not complete";
        for (const auto& m : host.messages())
            result.failure += "; " + m;
        return false;
    }
    result.ok = true;
    return true;
}

Clock::time_point lineTime(const Download& d, const std::string& head) {
    for (const auto& line : d.lines)
        if (line.text.starts_with(head))
            return line.at;
    return {};
}

// Time stamps of the port's traffic on the worker thread, taken by the port's probe.
class TrafficLog {
public:
    static void probe(void* context, SerialPort::Traffic event) {
        auto* log = static_cast<TrafficLog*>(context);
        (event == SerialPort::Traffic::byteRead ? log->reads : log->writes).push_back(Clock::now());
    }
    // Only the worker thread appends, and only before it is joined.
    std::vector<Clock::time_point> reads;
    std::vector<Clock::time_point> writes;
};

// The first time in sorted times at or after t; Clock::time_point::max() when none.
Clock::time_point firstAfter(const std::vector<Clock::time_point>& times, Clock::time_point t) {
    const auto it = std::lower_bound(times.begin(), times.end(), t);
    return it == times.end() ? Clock::time_point::max() : *it;
}
// The last time in sorted times at or before t; Clock::time_point::min() when none.
Clock::time_point lastBefore(const std::vector<Clock::time_point>& times, Clock::time_point t) {
    const auto it = std::upper_bound(times.begin(), times.end(), t);
    return it == times.begin() ? Clock::time_point::min() : *(it - 1);
}

// ---------------------------------------------------------------- wire ratio

struct Ideal {
    double erase = 0;
    double write = 0;
    double verify = 0;
    double other = 0; // run commands, resynchronisation frames
    double identification = 0;
    double total() const { return erase + write + verify + other + identification; }
};

Ideal idealOf(const Download& d, long baud) {
    const double byte = 10.0 / static_cast<double>(baud);
    Ideal ideal;
    for (const auto& p : d.packets) {
        const double n = static_cast<double>(p.data.size());
        // Its bytes out, its answer byte (when one came), then what the chip needs.
        const double line =
            (n + static_cast<double>(packetOverhead) + (p.answer >= 0 ? 1 : 0)) * byte;
        const bool done = p.answer == ackByte;
        switch (p.command) {
        case commandErase:
            ideal.erase += line + (done ? std::chrono::duration<double>(chipPageErase).count() : 0);
            break;
        case commandWrite:
            ideal.write +=
                line + (done ? n * std::chrono::duration<double>(chipWriteByte).count() : 0);
            break;
        case commandVerify:
            ideal.verify += line;
            break;
        default:
            ideal.other += line;
            break;
        }
    }
    ideal.other += static_cast<double>(d.resyncs * resyncFrameSize) * byte;
    // The target is silent until woken, and the identification text is shorter than the
    // 24 characters asked for: every read of the wait runs to the port's limit. One silent
    // read before each wake byte, then the read that brings the text.
    const double readLimit =
        std::chrono::duration<double>(SerialPort::readTimeout(identificationReadSize, baud))
            .count();
    ideal.identification = (d.wakes + 1) * readLimit + d.wakes * byte;
    return ideal;
}

int wire(long baud) {
    const std::string folder = makeScratchFolder();
    const std::string image = folder + "/full.hex";
    const std::uint64_t dataBytes = writeFullImage(image, 1);
    if (folder.empty() || dataBytes == 0) {
        std::fprintf(stderr, "cannot write the image\n");
        return exitBroken;
    }
    sim::TargetOptions options;
    options.baud = baud;
    options.pageEraseTime = chipPageErase;
    options.writeByteTime = chipWriteByte;
    sim::SimulatedTarget target(options);
    std::string error;
    if (!target.start(error)) {
        std::fprintf(stderr, "simulated target: %s\n", error.c_str());
        return exitBroken;
    }
    BenchHost host;
    host.setDownloadPath(image);
    SerialPort port;
    TrafficLog traffic;
    port.setTrafficProbe(&TrafficLog::probe, &traffic);
    const DownloadSettings settings = settingsFor(target.portPath(), baud);
    Download d;
    {
        SerialThread worker(host, port, [settings] { return settings; });
        runDownload(host, worker, d);
    }
    d.packets = target.packets();
    d.wakes = target.wakeBytesReceived();
    d.resyncs = target.resyncFrames();
    target.stop();
    removeFolder(folder);
    if (!d.ok) {
        if (std::getenv("SORBEL_BENCH_DEBUG") != nullptr) {
            for (const auto& p : d.packets)
                if (p.answer != ackByte)
                    std::fprintf(stderr, "packet %d %c 0x%04x answer %d\n", p.number, p.command,
                                 static_cast<unsigned>(p.address), p.answer);
        }
        std::fprintf(stderr, "wire %ld: %s\n", baud, d.failure.c_str());
        return exitBroken;
    }

    const Ideal ideal = idealOf(d, baud);
    const double measured = seconds(d.ended - d.started);
    const double ratio = measured / ideal.total();
    const auto erasing = lineTime(d, "Erasing ");
    const auto downloading = lineTime(d, "Downloading ... ");
    const auto verifying = lineTime(d, "Verifying ... ");
    const double erasePass = seconds(downloading - erasing);
    const double writePass = seconds(verifying - downloading);
    const double verifyPass = seconds(d.ended - verifying);
    const double before = seconds(erasing - d.started);
    int retries = 0;
    for (const auto& p : d.packets)
        retries += p.answer != ackByte;

    std::fprintf(stderr,
                 "wire %ld baud, %s; %llu data bytes, %zu commands, %d wake byte(s), "
                 "%d resynchronisation frame(s), %d unanswered or refused\n",
                 baud, chipName, static_cast<unsigned long long>(dataBytes), d.packets.size(),
                 d.wakes, d.resyncs, retries);
    // Where the time beyond the ideal goes, command by command.
    {
        std::vector<double> late;
        std::vector<double> turnaround;
        const double byteUs = 1e7 / static_cast<double>(baud);
        for (std::size_t i = 0; i < d.packets.size(); ++i) {
            const auto& p = d.packets[i];
            if (p.answer < 0)
                continue;
            double chipUs = 0;
            if (p.command == commandErase)
                chipUs = std::chrono::duration<double, std::micro>(chipPageErase).count();
            else if (p.command == commandWrite)
                chipUs = static_cast<double>(p.data.size()) *
                         std::chrono::duration<double, std::micro>(chipWriteByte).count();
            late.push_back(
                std::chrono::duration<double, std::micro>(p.answered - p.received).count() -
                chipUs - byteUs);
            if (i + 1 < d.packets.size()) {
                const auto& next = d.packets[i + 1];
                const double packetUs =
                    static_cast<double>(next.data.size() + packetOverhead) * byteUs;
                turnaround.push_back(
                    std::chrono::duration<double, std::micro>(next.received - p.answered).count() -
                    packetUs);
            }
        }
        std::vector<double> toHost, host, toTarget;
        for (std::size_t i = 0; i + 1 < d.packets.size(); ++i) {
            const auto& p = d.packets[i];
            const auto& next = d.packets[i + 1];
            if (p.answer < 0)
                continue;
            const auto hostRead = firstAfter(traffic.reads, p.answered);
            const auto hostWrote = lastBefore(traffic.writes, next.read);
            if (hostRead == Clock::time_point::max() || hostWrote == Clock::time_point::min() ||
                hostWrote < hostRead)
                continue;
            using us = std::chrono::duration<double, std::micro>;
            toHost.push_back(us(hostRead - p.answered).count());
            host.push_back(us(hostWrote - hostRead).count());
            toTarget.push_back(us(next.read - hostWrote).count());
        }
        std::fprintf(stderr,
                     "  medians per command: answer to host %.1f us, host %.1f us, packet to "
                     "target %.1f us (p99 %.1f, %.1f, %.1f)\n",
                     percentile(toHost, 50), percentile(host, 50), percentile(toTarget, 50),
                     percentile(toHost, 99), percentile(host, 99), percentile(toTarget, 99));
        const double lateMedian = percentile(late, 50);
        const double lateP99 = percentile(late, 99);
        const double turnMedian = percentile(turnaround, 50);
        const double turnP99 = percentile(turnaround, 99);
        std::fprintf(stderr,
                     "  per command beyond the line: target's answer late by median %.1f us "
                     "(p99 %.1f); answer sent to next packet's first byte on the line median "
                     "%.1f us (p99 %.1f)\n",
                     lateMedian, lateP99, turnMedian, turnP99);
    }
    std::fprintf(stderr, "  %-34s %9s %9s %7s\n", "pass", "measured", "ideal", "ratio");
    const auto row = [](const char* name, double m, double i) {
        std::fprintf(stderr, "  %-34s %8.3fs %8.3fs %7.4f\n", name, m, i, i > 0 ? m / i : 0.0);
    };
    row("open, identification, file check", before, ideal.identification);
    row("page erases", erasePass, ideal.erase);
    row("write pass", writePass, ideal.write);
    row("verify pass", verifyPass, ideal.verify + ideal.other);
    row("whole download", measured, ideal.total());
    std::printf("wire ratio at %ld baud: %.4f (measured %.3f s / ideal %.3f s; erase %.4f, "
                "write %.4f, verify %.4f; %s) goal <= %.2f\n",
                baud, ratio, measured, ideal.total(), erasePass / ideal.erase,
                writePass / ideal.write, verifyPass / (ideal.verify + ideal.other), chipName,
                wireGoal);
    return ratio <= wireGoal ? exitGoalMet : exitGoalMissed;
}

// ---------------------------------------------------------------- host overhead

// Time stamps of the port's traffic on the worker thread: the host's share of a command runs
// from the moment readByte hands over an answer to the moment the next packet's write is done.
class TrafficClock {
public:
    static void probe(void* context, SerialPort::Traffic event) {
        static_cast<TrafficClock*>(context)->note(event);
    }
    void note(SerialPort::Traffic event) {
        const auto now = Clock::now();
        if (event == SerialPort::Traffic::byteRead) {
            answered_ = now;
            haveAnswer_ = true;
        } else if (haveAnswer_) {
            gaps_.push_back(std::chrono::duration<double, std::micro>(now - answered_).count());
            haveAnswer_ = false;
        }
    }
    std::vector<double> gaps() const { return gaps_; }

private:
    Clock::time_point answered_{};
    bool haveAnswer_ = false;
    std::vector<double> gaps_; // only the worker thread writes, before the join
};

int overhead() {
    const std::string folder = makeScratchFolder();
    const std::string image = folder + "/full.hex";
    if (folder.empty() || writeFullImage(image, 2) == 0) {
        std::fprintf(stderr, "cannot write the image\n");
        return exitBroken;
    }
    constexpr long baud = 115200; // only the port's time-outs depend on it: no pacing
    sim::SimulatedTarget target;
    std::string error;
    if (!target.start(error)) {
        std::fprintf(stderr, "simulated target: %s\n", error.c_str());
        return exitBroken;
    }
    BenchHost host;
    host.setDownloadPath(image);
    SerialPort port;
    TrafficClock traffic;
    port.setTrafficProbe(&TrafficClock::probe, &traffic);
    const DownloadSettings settings = settingsFor(target.portPath(), baud);
    Download d;
    double workerCpu = 0;
    {
        SerialThread worker(host, port, [settings] { return settings; });
        runDownload(host, worker, d);
        workerCpu = cpuSeconds(host.workerClock());
    }
    d.packets = target.packets();
    target.stop();
    removeFolder(folder);
    if (!d.ok) {
        std::fprintf(stderr, "overhead: %s\n", d.failure.c_str());
        return exitBroken;
    }
    std::vector<double> gaps = traffic.gaps();
    const std::size_t samples = gaps.size();
    const double median = percentile(gaps, 50);
    const double p99 = percentile(gaps, 99);
    const double p999 = percentile(gaps, 99.9);
    const auto jobStart = lineTime(d, "Erasing ");
    const double perCommand = seconds(d.ended - jobStart) /
                              static_cast<double>(std::max<std::size_t>(d.packets.size(), 1));
    std::fprintf(stderr,
                 "overhead: %zu commands against an unpaced target; %zu answer-to-next-write "
                 "samples\n  host share per command: median %.1f us, p99 %.1f us, p99.9 %.1f us\n"
                 "  whole round trip per command (host, target, pseudo-terminal both ways): "
                 "%.1f us; worker processor time per command: %.1f us\n",
                 d.packets.size(), samples, median, p99, p999, perCommand * 1e6,
                 workerCpu / static_cast<double>(std::max<std::size_t>(d.packets.size(), 1)) * 1e6);
    std::printf("host overhead per command: median %.1f us, p99 %.1f us (answer read to next "
                "packet written, %zu commands; whole round trip %.1f us) goal: median < %.0f us\n",
                median, p99, samples, perCommand * 1e6, overheadGoalUs);
    return median < overheadGoalUs ? exitGoalMet : exitGoalMissed;
}

// ---------------------------------------------------------------- idle cost

double processCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

int idle(double windowSeconds) {
    const std::string folder = makeScratchFolder();
    const std::string image = folder + "/full.hex";
    if (folder.empty() || writeFullImage(image, 3) == 0) {
        std::fprintf(stderr, "cannot write the image\n");
        return exitBroken;
    }
    sim::SimulatedTarget target;
    std::string error;
    if (!target.start(error)) {
        std::fprintf(stderr, "simulated target: %s\n", error.c_str());
        return exitBroken;
    }
    BenchHost host;
    host.setDownloadPath(image);
    SerialPort port;
    const DownloadSettings settings = settingsFor(target.portPath(), 115200);
    SerialThread worker(host, port, [settings] { return settings; });
    Download d;
    runDownload(host, worker, d);
    removeFolder(folder);
    if (!d.ok || !worker.running()) {
        std::fprintf(stderr, "idle: %s\n", d.ok ? "the worker is not running" : d.failure.c_str());
        return exitBroken;
    }
    // The worker has started and has nothing to do; the target waits on its line.
    const double cpuBefore = processCpuSeconds();
    const double workerBefore = cpuSeconds(host.workerClock());
    const auto wallBefore = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(windowSeconds));
    const double wall = seconds(Clock::now() - wallBefore);
    const double cpu = processCpuSeconds() - cpuBefore;
    const double workerCpu = cpuSeconds(host.workerClock()) - workerBefore;
    const double percent = cpu / wall * 100;
    std::fprintf(stderr,
                 "idle: after a download of %zu lines, worker started and idle for %.2f s: "
                 "process %.4f s of processor time, worker thread %.4f s\n",
                 d.lines.size(), wall, cpu, workerCpu);
    std::printf("idle cost: %.3f %% of one core (%.1f ms of processor time over %.1f s, "
                "getrusage) goal < %.1f %%\n",
                percent, cpu * 1e3, wall, idleGoalPercent);
    return percent < idleGoalPercent ? exitGoalMet : exitGoalMissed;
}

// ---------------------------------------------------------------- memory bound

struct Child {
    pid_t pid = -1;
    int out = -1;
};

Child spawn(const std::vector<std::string>& words, bool captureOutput) {
    std::vector<char*> argv;
    for (const auto& w : words)
        argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeFds[2] = {-1, -1};
    if (captureOutput) {
        if (::pipe2(pipeFds, O_CLOEXEC) != 0)
            return {};
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    Child child;
    if (::posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        child.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (captureOutput) {
        ::close(pipeFds[1]);
        child.out = pipeFds[0];
    }
    return child;
}

std::string readLine(int fd) {
    std::string line;
    char c = 0;
    while (::read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

struct ChildRun {
    int status = -1;
    long maxRssKiB = 0;
    double seconds = 0;
};

ChildRun waitChild(pid_t pid) {
    ChildRun run;
    rusage usage{};
    int status = 0;
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.maxRssKiB = usage.ru_maxrss;
    return run;
}

// sorbel-cli downloads file into an unpaced sorbel-target; its peak resident memory.
ChildRun cliPeak(const std::string& bin, const std::string& file) {
    Child target = spawn({bin + "sorbel-target"}, true);
    if (target.pid < 0)
        return {};
    const std::string port = readLine(target.out);
    const auto started = Clock::now();
    Child cli = spawn({bin + "sorbel-cli", "--quiet", "--port", port, "--baud", "115200",
                       "--no-mass-erase", "--program", "--verify", "--timeout", "30", file},
                      false);
    ChildRun run;
    if (cli.pid >= 0) {
        run = waitChild(cli.pid);
        run.seconds = seconds(Clock::now() - started);
    }
    ::kill(target.pid, SIGTERM);
    waitChild(target.pid);
    ::close(target.out);
    return run;
}

int memory(double megabytes) {
    const std::string bin = programFolder();
    const std::string folder = makeScratchFolder();
    if (folder.empty()) {
        std::fprintf(stderr, "cannot make a scratch folder\n");
        return exitBroken;
    }
    // 128-byte records, the most one command carries: the fewest commands for the bytes.
    constexpr std::size_t recordSize = maxCommandData;
    const auto small = static_cast<std::uint64_t>(1e6);
    const auto large = static_cast<std::uint64_t>(megabytes * 1e6);
    const std::string smallFile = folder + "/small.hex";
    const std::string largeFile = folder + "/large.hex";
    const std::uint64_t smallRecords = writeRepeatedImage(smallFile, small, recordSize);
    const std::uint64_t largeRecords = writeRepeatedImage(largeFile, large, recordSize);
    if (smallRecords == 0 || largeRecords == 0) {
        removeFolder(folder);
        std::fprintf(stderr, "cannot write the files\n");
        return exitBroken;
    }
    const ChildRun a = cliPeak(bin, smallFile);
    const ChildRun b = cliPeak(bin, largeFile);
    removeFolder(folder);
    if (a.status != 0 || b.status != 0 || a.maxRssKiB <= 0) {
        std::fprintf(stderr, "memory: sorbel-cli ended with %d and %d\n", a.status, b.status);
        return exitBroken;
    }
    const double ratio = static_cast<double>(b.maxRssKiB) / static_cast<double>(a.maxRssKiB);
    std::fprintf(stderr,
                 "memory: sorbel-cli, program + verify, %zu-byte records cycling over "
                 "0x0000-0xF77F\n  1 MB: %llu records, peak %ld KiB, %.1f s\n"
                 "  %.0f MB: %llu records, peak %ld KiB, %.1f s\n",
                 recordSize, static_cast<unsigned long long>(smallRecords), a.maxRssKiB, a.seconds,
                 megabytes, static_cast<unsigned long long>(largeRecords), b.maxRssKiB, b.seconds);
    std::printf("memory bound: peak RSS %.0f MB file / 1 MB file = %.3f (%ld KiB / %ld KiB, "
                "sorbel-cli, ru_maxrss) goal <= %.1f\n",
                megabytes, ratio, b.maxRssKiB, a.maxRssKiB, memoryGoal);
    return ratio <= memoryGoal ? exitGoalMet : exitGoalMissed;
}

int usage() {
    std::fprintf(stderr, "usage: sorbel-bench wire BAUD | overhead | idle [SECONDS] | "
                         "memory [MEGABYTES]\n");
    return exitBroken;
}

} // namespace

} // namespace sorbel::bench

int main(int argc, char** argv) {
    using namespace sorbel::bench;
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return usage();
    const auto number = [&](std::size_t i, double fallback) {
        return args.size() > i ? std::strtod(args[i].c_str(), nullptr) : fallback;
    };
    if (args[0] == "wire" && args.size() == 2)
        return wire(std::strtol(args[1].c_str(), nullptr, 10));
    if (args[0] == "overhead")
        return overhead();
    if (args[0] == "idle")
        return idle(number(1, 10));
    if (args[0] == "memory")
        return memory(number(1, 100));
    return usage();
}
