// sorbel-bench: the download's figures against the simulated target.
//
//   sorbel-bench wire BAUD [RUNS]   full image, program + verify, paced target: measured /
//                                   ideal, the median of RUNS downloads (3)
//   sorbel-bench overhead [RUNS]    the same download, unpaced target: host time per command,
//                                   over the commands of RUNS downloads (3)
//   sorbel-bench idle [SEC]         processor time of the process with the worker idle (10)
//   sorbel-bench memory [MB]        peak resident memory of sorbel-cli, MB-sized file (100)
//                                   against a 1 MB one
//
// Each prints its details on standard error and one summary line on standard output; the exit
// status is 0 when the figure meets its goal, 1 when it does not, 2 when it could not be taken.
//
// wire and overhead keep the whole process (SORBEL's worker and the simulated target) on the
// processor they start on: both ends of the pseudo-terminal then hand bytes over without
// waking another processor, a cost inside every write (an inter-processor interrupt, dear on
// a virtual machine) that a UART's write does not have. The two ends take turns anyway.
// SORBEL_BENCH_ANY_CPU=1 leaves the scheduler free.
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
#include <sched.h>
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
// Time stamps kept per download: a full image takes about 8,100 commands.
constexpr std::size_t probeCapacity = 1 << 15;

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
    // Room for a whole download, so that the probe never allocates on the worker thread.
    TrafficLog() {
        reads.reserve(probeCapacity);
        writes.reserve(probeCapacity);
    }
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

// ---------------------------------------------------------------- wire ratio

struct Ideal {
    double erase = 0;
    double write = 0;
    double verify = 0;
    double other = 0; // run commands, resynchronisation frames
    double identification = 0;
    double total() const { return erase + write + verify + other + identification; }
};

// Attempts that the target acknowledged and SORBEL still sent again: the answer did not reach
// SORBEL within its answer wait because the pseudo-terminal or the simulator was held up by the
// machine (on a serial line it arrives one byte time after the target sends it; the target's
// own timing fits the wait). Their cost is the transport's, not the line's nor the host's.
std::vector<bool> transportRetries(const Download& d) {
    // Every resend follows a resynchronisation frame: never more of them than frames (the
    // full image has no two equal records in a row, so none is mistaken for a resend).
    std::vector<bool> retried(d.packets.size(), false);
    int left = d.resyncs;
    for (std::size_t i = 0; i + 1 < d.packets.size() && left > 0; ++i) {
        const auto& a = d.packets[i];
        const auto& b = d.packets[i + 1];
        retried[i] = a.answer == ackByte && a.command == b.command && a.address == b.address &&
                     a.data == b.data;
        left -= retried[i] ? 1 : 0;
    }
    return retried;
}

Ideal idealOf(const Download& d, const std::vector<bool>& retried, long baud) {
    const double byte = 10.0 / static_cast<double>(baud);
    Ideal ideal;
    int resyncs = d.resyncs;
    for (std::size_t i = 0; i < d.packets.size(); ++i) {
        const auto& p = d.packets[i];
        if (retried[i]) {
            --resyncs; // the frame that followed it
            continue;
        }
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
    ideal.other += static_cast<double>(std::max(resyncs, 0) * resyncFrameSize) * byte;
    // The target is silent until woken, and the identification text is shorter than the
    // 24 characters asked for: every read of the wait runs to the port's limit. One silent
    // read before each wake byte, then the read that brings the text.
    const double readLimit =
        std::chrono::duration<double>(SerialPort::readTimeout(identificationReadSize, baud))
            .count();
    ideal.identification = (d.wakes + 1) * readLimit + d.wakes * byte;
    return ideal;
}

// What the pseudo-terminal and the simulated target add to each command, which a serial line
// does not: the hand-over of the packet to the target (host's write done to target's read)
// and of the answer to the host (target's write to the host's readByte), and the target's
// answer leaving later than its schedule; and attempts sent again only because an answer that
// the target gave in time was held up on its way (transportRetries). All from time stamps of
// the same run.
struct Transport {
    std::vector<double> toTarget; // microseconds, one per command where it could be matched
    std::vector<double> late;
    std::vector<double> toHost;
    std::vector<double> host;      // the host's own share, answer read to next packet written
    int retries = 0;               // attempts repeated for the transport's sake
    double seconds[3] = {0, 0, 0}; // total of the three above, by pass: erase, write, verify
    double total() const { return seconds[0] + seconds[1] + seconds[2]; }
};

int passOf(std::uint8_t command) {
    return command == commandErase ? 0 : command == commandWrite ? 1 : 2;
}

Transport transportOf(const Download& d, const std::vector<bool>& retried,
                      const TrafficLog& traffic, long baud) {
    using us = std::chrono::duration<double, std::micro>;
    Transport t;
    const auto byte = std::chrono::nanoseconds(10'000'000'000LL / baud);
    Clock::time_point previousAnswerRead = Clock::time_point::max();
    for (std::size_t i = 0; i < d.packets.size(); ++i) {
        const auto& p = d.packets[i];
        double lost = 0;
        if (retried[i]) {
            // From this attempt's write to the next attempt's arrival at the target: the
            // time-out, the resynchronisation and the quiet wait after it.
            Clock::time_point start = p.read;
            if (previousAnswerRead != Clock::time_point::max())
                start = std::min(start, firstAfter(traffic.writes, previousAnswerRead));
            t.seconds[passOf(p.command)] +=
                std::max(0.0, us(d.packets[i + 1].read - start).count()) * 1e-6;
            ++t.retries;
            previousAnswerRead = Clock::time_point::max();
            continue;
        }
        // The host writes a packet after it has read the answer to the one before.
        if (previousAnswerRead != Clock::time_point::max()) {
            const auto wrote = firstAfter(traffic.writes, previousAnswerRead);
            if (wrote != Clock::time_point::max()) {
                const double in = std::max(0.0, us(p.read - wrote).count());
                t.toTarget.push_back(in);
                t.host.push_back(us(wrote - previousAnswerRead).count());
                lost += in;
            }
        }
        previousAnswerRead = Clock::time_point::max();
        if (p.answer >= 0 && p.answered != Clock::time_point{}) {
            std::chrono::nanoseconds chip{0};
            if (p.answer == ackByte && p.command == commandErase)
                chip = chipPageErase;
            else if (p.answer == ackByte && p.command == commandWrite)
                chip = chipWriteByte * static_cast<long>(p.data.size());
            const double late = std::max(0.0, us(p.answered - (p.received + chip + byte)).count());
            t.late.push_back(late);
            lost += late;
            const auto read = firstAfter(traffic.reads, p.answered);
            if (read != Clock::time_point::max() && read - p.answered < std::chrono::seconds(1)) {
                const double out = us(read - p.answered).count();
                t.toHost.push_back(out);
                lost += out;
                previousAnswerRead = read;
            }
        }
        t.seconds[passOf(p.command)] += lost * 1e-6;
    }
    return t;
}

struct WireRun {
    bool ok = false;
    double ratio = 0;
    double wallRatio = 0;
    double passRatio[3] = {0, 0, 0}; // erase, write, verify
    double counted = 0;
    double ideal = 0;
};

WireRun wireRun(long baud) {
    WireRun run;
    const std::string folder = makeScratchFolder();
    const std::string image = folder + "/full.hex";
    const std::uint64_t dataBytes = writeFullImage(image, 1);
    if (folder.empty() || dataBytes == 0) {
        std::fprintf(stderr, "cannot write the image\n");
        return run;
    }
    sim::TargetOptions options;
    options.baud = baud;
    options.pageEraseTime = chipPageErase;
    options.writeByteTime = chipWriteByte;
    sim::SimulatedTarget target(options);
    std::string error;
    if (!target.start(error)) {
        std::fprintf(stderr, "simulated target: %s\n", error.c_str());
        return run;
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
        std::fprintf(stderr, "wire %ld: %s\n", baud, d.failure.c_str());
        return run;
    }

    const std::vector<bool> retried = transportRetries(d);
    const Ideal ideal = idealOf(d, retried, baud);
    Transport t = transportOf(d, retried, traffic, baud);
    const auto erasing = lineTime(d, "Erasing ");
    const auto downloading = lineTime(d, "Downloading ... ");
    const auto verifying = lineTime(d, "Verifying ... ");
    const double wall[4] = {seconds(erasing - d.started), seconds(downloading - erasing),
                            seconds(verifying - downloading), seconds(d.ended - verifying)};
    const double ideals[4] = {ideal.identification, ideal.erase, ideal.write,
                              ideal.verify + ideal.other};
    const double lost[4] = {0, t.seconds[0], t.seconds[1], t.seconds[2]};
    const double wallTotal = seconds(d.ended - d.started);
    const double counted = wallTotal - t.total();
    const double ratio = counted / ideal.total();
    int unanswered = 0;
    for (const auto& p : d.packets)
        unanswered += p.answer != ackByte;

    std::fprintf(stderr,
                 "wire %ld baud, %s; %llu data bytes, %zu commands, %d wake byte(s), "
                 "%d resynchronisation frame(s), %d unanswered or refused, %d acknowledged but "
                 "sent again (the answer held up in transport)\n",
                 baud, chipName, static_cast<unsigned long long>(dataBytes), d.packets.size(),
                 d.wakes, d.resyncs, unanswered, t.retries);
    std::fprintf(stderr,
                 "  per command, median (p99) in us: host %.1f (%.1f); pseudo-terminal to target "
                 "%.1f (%.1f), target late %.1f (%.1f), pseudo-terminal to host %.1f (%.1f)\n",
                 percentile(t.host, 50), percentile(t.host, 99), percentile(t.toTarget, 50),
                 percentile(t.toTarget, 99), percentile(t.late, 50), percentile(t.late, 99),
                 percentile(t.toHost, 50), percentile(t.toHost, 99));
    const auto sinceStart = [&](const char* head) {
        const auto at = lineTime(d, head);
        return at == Clock::time_point{} ? -1.0 : seconds(at - d.started) * 1e3;
    };
    std::fprintf(stderr,
                 "  status lines after Start: \"Ready @\" %.1f ms, identification %.1f ms, "
                 "\"Erasing\" %.1f ms\n",
                 sinceStart("Ready @ "), sinceStart(identificationText), sinceStart("Erasing "));
    std::fprintf(stderr, "  %-34s %9s %9s %9s %9s %7s %7s\n", "pass", "wall", "pty+sim", "counted",
                 "ideal", "ratio", "wall");
    const char* names[4] = {"open, identification, file check", "page erases", "write pass",
                            "verify pass"};
    for (int i = 0; i < 4; ++i) {
        std::fprintf(stderr, "  %-34s %8.3fs %8.3fs %8.3fs %8.3fs %7.4f %7.4f\n", names[i], wall[i],
                     lost[i], wall[i] - lost[i], ideals[i], (wall[i] - lost[i]) / ideals[i],
                     wall[i] / ideals[i]);
    }
    std::fprintf(stderr, "  %-34s %8.3fs %8.3fs %8.3fs %8.3fs %7.4f %7.4f\n", "whole download",
                 wallTotal, t.total(), counted, ideal.total(), ratio, wallTotal / ideal.total());
    run.ok = true;
    run.ratio = ratio;
    run.wallRatio = wallTotal / ideal.total();
    for (int i = 0; i < 3; ++i)
        run.passRatio[i] = (wall[i + 1] - lost[i + 1]) / ideals[i + 1];
    run.counted = counted;
    run.ideal = ideal.total();
    return run;
}

int wire(long baud, int runs) {
    std::vector<WireRun> done;
    for (int i = 0; i < runs; ++i) {
        WireRun run = wireRun(baud);
        if (!run.ok)
            return exitBroken;
        done.push_back(run);
    }
    // The run with the median ratio stands for all of them.
    std::sort(done.begin(), done.end(),
              [](const WireRun& a, const WireRun& b) { return a.ratio < b.ratio; });
    const WireRun& m = done[done.size() / 2];
    std::string all;
    for (const auto& run : done) {
        char text[16];
        std::snprintf(text, sizeof text, "%s%.4f", all.empty() ? "" : " ", run.ratio);
        all += text;
    }
    std::fflush(stderr);
    std::printf("wire ratio at %ld baud: %.4f, median of %d runs [%s] (erase %.4f, write %.4f, "
                "verify %.4f; %.3f s counted / %.3f s ideal; wall clock over the "
                "pseudo-terminal %.4f; %s) goal <= %.2f\n",
                baud, m.ratio, runs, all.c_str(), m.passRatio[0], m.passRatio[1], m.passRatio[2],
                m.counted, m.ideal, m.wallRatio, chipName, wireGoal);
    return m.ratio <= wireGoal ? exitGoalMet : exitGoalMissed;
}

// ---------------------------------------------------------------- host overhead

// Time stamps of the port's traffic on the worker thread: the host's share of a command runs
// from the moment readByte hands over an answer to the moment the next packet's write is done.
class TrafficClock {
public:
    TrafficClock() { gaps_.reserve(probeCapacity); }
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

struct OverheadRun {
    bool ok = false;
    std::vector<double> gaps; // microseconds, answer read to next packet written
    std::size_t commands = 0;
    double roundTrip = 0; // seconds per command, everything included
    double workerCpu = 0; // seconds of the worker thread's processor time per command
};

OverheadRun overheadRun() {
    OverheadRun run;
    const std::string folder = makeScratchFolder();
    const std::string image = folder + "/full.hex";
    if (folder.empty() || writeFullImage(image, 2) == 0) {
        std::fprintf(stderr, "cannot write the image\n");
        return run;
    }
    constexpr long baud = 115200; // only the port's time-outs depend on it: no pacing
    sim::SimulatedTarget target;
    std::string error;
    if (!target.start(error)) {
        std::fprintf(stderr, "simulated target: %s\n", error.c_str());
        return run;
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
        return run;
    }
    run.ok = true;
    run.gaps = traffic.gaps();
    run.commands = d.packets.size();
    const double commands = static_cast<double>(std::max<std::size_t>(run.commands, 1));
    run.roundTrip = seconds(d.ended - lineTime(d, "Erasing ")) / commands;
    run.workerCpu = workerCpu / commands;
    std::vector<double> gaps = run.gaps;
    std::fprintf(stderr,
                 "overhead: %zu commands, unpaced target: host share median %.1f us, p99 %.1f us; "
                 "whole round trip %.1f us a command; worker processor time %.1f us a command\n",
                 run.commands, percentile(gaps, 50), percentile(gaps, 99), run.roundTrip * 1e6,
                 run.workerCpu * 1e6);
    return run;
}

int overhead(int runs) {
    std::vector<double> gaps;
    std::vector<double> roundTrips;
    for (int i = 0; i < runs; ++i) {
        OverheadRun run = overheadRun();
        if (!run.ok)
            return exitBroken;
        gaps.insert(gaps.end(), run.gaps.begin(), run.gaps.end());
        roundTrips.push_back(run.roundTrip * 1e6);
    }
    const std::size_t samples = gaps.size();
    const double median = percentile(gaps, 50);
    const double p99 = percentile(gaps, 99);
    std::fflush(stderr);
    std::printf("host overhead per command: median %.1f us, p99 %.1f us (answer read to next "
                "packet written, %zu commands of %d downloads; whole round trip over the "
                "pseudo-terminal %.1f us) goal: median < %.0f us\n",
                median, p99, samples, runs, percentile(roundTrips, 50), overheadGoalUs);
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
    std::fflush(stderr);
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
    // 128-byte records, the most one command carries, each followed by empty data records
    // that every pass reads and skips: the file is read in full five times (sorbel-cli's check,
    // then the job's check, plan, write and verify) while the command count stays at about one
    // per 1.5 KB.
    constexpr std::size_t recordSize = maxCommandData;
    constexpr int emptyRecords = 100;
    const auto small = static_cast<std::uint64_t>(1e6);
    const auto large = static_cast<std::uint64_t>(megabytes * 1e6);
    const std::string smallFile = folder + "/small.hex";
    const std::string largeFile = folder + "/large.hex";
    const std::uint64_t smallRecords =
        writeRepeatedImage(smallFile, small, recordSize, emptyRecords);
    const std::uint64_t largeRecords =
        writeRepeatedImage(largeFile, large, recordSize, emptyRecords);
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
                 "0x0000-0xF77F, each followed by %d empty data records\n"
                 "  1 MB: %llu records with data, peak %ld KiB, %.1f s\n"
                 "  %.0f MB: %llu records with data, peak %ld KiB, %.1f s\n",
                 recordSize, emptyRecords, static_cast<unsigned long long>(smallRecords),
                 a.maxRssKiB, a.seconds, megabytes, static_cast<unsigned long long>(largeRecords),
                 b.maxRssKiB, b.seconds);
    std::fflush(stderr);
    std::printf("memory bound: peak RSS %.0f MB file / 1 MB file = %.3f (%ld KiB / %ld KiB, "
                "sorbel-cli, ru_maxrss) goal <= %.1f\n",
                megabytes, ratio, b.maxRssKiB, a.maxRssKiB, memoryGoal);
    return ratio <= memoryGoal ? exitGoalMet : exitGoalMissed;
}

// See the note at the top. Returns the processor, -1 when left free.
int keepToOneProcessor() {
    const char* any = std::getenv("SORBEL_BENCH_ANY_CPU");
    if (any != nullptr && *any != '\0' && *any != '0')
        return -1;
    const int cpu = ::sched_getcpu();
    if (cpu < 0)
        return -1;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return ::sched_setaffinity(0, sizeof set, &set) == 0 ? cpu : -1;
}

int usage() {
    std::fprintf(stderr, "usage: sorbel-bench wire BAUD [RUNS] | overhead [RUNS] | "
                         "idle [SECONDS] | memory [MEGABYTES]\n");
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
    if (args[0] == "wire" || args[0] == "overhead") {
        const int cpu = keepToOneProcessor();
        if (cpu >= 0)
            std::fprintf(stderr, "%s: SORBEL and the simulated target on processor %d\n",
                         args[0].c_str(), cpu);
    }
    if (args[0] == "wire" && args.size() >= 2)
        return wire(std::strtol(args[1].c_str(), nullptr, 10),
                    std::max(1, static_cast<int>(number(2, 3))));
    if (args[0] == "overhead")
        return overhead(std::max(1, static_cast<int>(number(1, 3))));
    if (args[0] == "idle")
        return idle(number(1, 10));
    if (args[0] == "memory")
        return memory(number(1, 100));
    return usage();
}
