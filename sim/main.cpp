// sorbel-target: the simulated target loader as a program.
//
// Prints the device SORBEL should open as the first line of its output, serves the loader
// protocol on it until SIGINT or SIGTERM (or, with --exit-after-run, until a run command
// has been acknowledged), then prints a short report and writes the files asked for.
// Exit codes: 0 done, 1 the line or an output file could not be opened, 2 usage error.
#include "sim/SimulatedTarget.h"
#include "sorbel/Version.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <iostream>
#include <sstream>
#include <string>

namespace {

using sorbel::sim::SimulatedTarget;
using sorbel::sim::TargetOptions;

constexpr int exitOk = 0;
constexpr int exitFailure = 1;
constexpr int exitUsage = 2;
constexpr auto signalPoll = std::chrono::milliseconds(100);
// After the run command, how long the answer may wait for SORBEL to read it.
constexpr auto answerDrainLimit = std::chrono::seconds(2);

const char* const helpText = R"(Usage: sorbel-target [OPTION]...
Simulated target loader for SORBEL. Opens a pseudo-terminal (or --device), prints the
device SORBEL should open as the first line, and answers as the target loader does: the
identification text after the wake byte 0x08; 0x06 to a good framed command (erase,
write, verify, run) and 0x15 to a bad or refused one. Flash: 64 KiB erased to 0xFF;
0xF800-0xFFFF hold the loader and refuse erase and write. Runs until SIGINT or SIGTERM.

  -d, --device=DEV         serve this serial device instead of a new pseudo-terminal
  -i, --id=TEXT            identification text (default "QZKV5160  V3Y"; empty: silent)
      --id-unprompted      send the identification text once at start, as after a reset
  -b, --baud=RATE          pace every byte in and out at RATE baud, 10 bits a byte
      --page-erase-us=N    time a page erase takes, microseconds
      --mass-erase-us=N    time a mass erase takes, microseconds
      --write-byte-us=N    time each written byte takes, microseconds
      --ack-delay-ms=N     delay before every answer byte, milliseconds
  -s, --seed=N             seed for the random knobs (default 1)
      --silent-on=LIST     no answer to these packets (numbers from 1, comma separated)
      --nak-on=LIST        wrong answer to these packets
      --silent-rate=P      probability of no answer to a packet
      --nak-rate=P         probability of a wrong answer to a packet
      --wrong-answer=BYTE  the wrong answer byte (default 0x15)
      --noise-rate=P       probability of one random byte before an answer or the id text
      --erase-ack-after=N  refuse each erase N times before doing it (-1: never)
      --hang-up-after=N    close the line after answering N packets
      --exit-after-run     end once a run command has been acknowledged
      --dump-flash=FILE    at exit write the 65536-byte flash image to FILE
      --log=FILE           at exit write one line per packet received to FILE
  -h, --help               show this help and exit
  -V, --version            show the version and exit

Output: the device path on the first line; at exit a report of the bytes programmed, the
packets received and whether a run command started the program.
Exit status: 0 done; 1 the line or an output file could not be opened; 2 usage error.
)";

bool parseLong(const char* text, long& value) {
    errno = 0;
    char* end = nullptr;
    value = std::strtol(text, &end, 0);
    return errno == 0 && end != text && *end == '\0';
}

bool parseRate(const char* text, double& value) {
    errno = 0;
    char* end = nullptr;
    value = std::strtod(text, &end);
    return errno == 0 && end != text && *end == '\0' && value >= 0 && value <= 1;
}

bool parseList(const char* text, std::set<int>& numbers) {
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        long n = 0;
        if (!parseLong(item.c_str(), n) || n < 1 || n > 1'000'000'000) {
            return false;
        }
        numbers.insert(static_cast<int>(n));
    }
    return !numbers.empty();
}

int usage(const std::string& message) {
    std::cerr << "sorbel-target: " << message << "\nTry 'sorbel-target --help'.\n";
    return exitUsage;
}

enum Option {
    optIdUnprompted = 256,
    optPageErase,
    optMassErase,
    optWriteByte,
    optAckDelay,
    optSilentOn,
    optNakOn,
    optSilentRate,
    optNakRate,
    optWrongAnswer,
    optNoiseRate,
    optEraseAckAfter,
    optHangUpAfter,
    optExitAfterRun,
    optDumpFlash,
    optLog,
};

} // namespace

int main(int argc, char** argv) {
    TargetOptions options;
    bool exitAfterRun = false;
    std::string dumpPath;
    std::string logPath;

    const option longOptions[] = {
        {"device", required_argument, nullptr, 'd'},
        {"id", required_argument, nullptr, 'i'},
        {"id-unprompted", no_argument, nullptr, optIdUnprompted},
        {"baud", required_argument, nullptr, 'b'},
        {"page-erase-us", required_argument, nullptr, optPageErase},
        {"mass-erase-us", required_argument, nullptr, optMassErase},
        {"write-byte-us", required_argument, nullptr, optWriteByte},
        {"ack-delay-ms", required_argument, nullptr, optAckDelay},
        {"seed", required_argument, nullptr, 's'},
        {"silent-on", required_argument, nullptr, optSilentOn},
        {"nak-on", required_argument, nullptr, optNakOn},
        {"silent-rate", required_argument, nullptr, optSilentRate},
        {"nak-rate", required_argument, nullptr, optNakRate},
        {"wrong-answer", required_argument, nullptr, optWrongAnswer},
        {"noise-rate", required_argument, nullptr, optNoiseRate},
        {"erase-ack-after", required_argument, nullptr, optEraseAckAfter},
        {"hang-up-after", required_argument, nullptr, optHangUpAfter},
        {"exit-after-run", no_argument, nullptr, optExitAfterRun},
        {"dump-flash", required_argument, nullptr, optDumpFlash},
        {"log", required_argument, nullptr, optLog},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };

    opterr = 0;
    for (;;) {
        int longIndex = -1;
        const int c = getopt_long(argc, argv, ":d:i:b:s:hV", longOptions, &longIndex);
        if (c == -1) {
            break;
        }
        std::string name;
        if (longIndex >= 0) {
            name = std::string("--") + longOptions[longIndex].name;
        } else if ((c == '?' || c == ':') && optopt == 0) {
            name = argv[optind - 1]; // an unknown long option as written
        } else if (c == '?' || c == ':') {
            name = std::string("-") + static_cast<char>(optopt);
            for (const auto& o : longOptions) {
                if (o.name != nullptr && o.val == optopt) {
                    name = std::string("--") + o.name;
                }
            }
        } else {
            name = std::string("-") + static_cast<char>(c);
        }
        const auto bad = [&] {
            return usage("invalid value '" + std::string(optarg) + "' for " + name);
        };
        long n = 0;
        switch (c) {
        case 'd':
            options.device = optarg;
            break;
        case 'i':
            options.idText = optarg;
            break;
        case optIdUnprompted:
            options.idUnprompted = true;
            break;
        case 'b':
            if (!parseLong(optarg, n) || n < 1 || n > 100'000'000) {
                return bad();
            }
            options.baud = n;
            break;
        case optPageErase:
        case optMassErase:
        case optWriteByte:
            if (!parseLong(optarg, n) || n < 0 || n > 60'000'000) {
                return bad();
            }
            (c == optPageErase   ? options.pageEraseTime
             : c == optMassErase ? options.massEraseTime
                                 : options.writeByteTime) = std::chrono::microseconds(n);
            break;
        case optAckDelay:
            if (!parseLong(optarg, n) || n < 0 || n > 600'000) {
                return bad();
            }
            options.ackDelay = std::chrono::milliseconds(n);
            break;
        case 's':
            if (!parseLong(optarg, n)) {
                return bad();
            }
            options.seed = static_cast<std::uint64_t>(n);
            break;
        case optSilentOn:
            if (!parseList(optarg, options.silentOn)) {
                return bad();
            }
            break;
        case optNakOn:
            if (!parseList(optarg, options.nakOn)) {
                return bad();
            }
            break;
        case optSilentRate:
            if (!parseRate(optarg, options.silentRate)) {
                return bad();
            }
            break;
        case optNakRate:
            if (!parseRate(optarg, options.nakRate)) {
                return bad();
            }
            break;
        case optNoiseRate:
            if (!parseRate(optarg, options.noiseRate)) {
                return bad();
            }
            break;
        case optWrongAnswer:
            if (!parseLong(optarg, n) || n < 0 || n > 255 || n == 0x06) {
                return bad();
            }
            options.wrongAnswer = static_cast<std::uint8_t>(n);
            break;
        case optEraseAckAfter:
            if (!parseLong(optarg, n) || n < -1 || n > 1'000'000) {
                return bad();
            }
            options.eraseAckAfter = static_cast<int>(n);
            break;
        case optHangUpAfter:
            if (!parseLong(optarg, n) || n < 1 || n > 1'000'000'000) {
                return bad();
            }
            options.hangUpAfter = static_cast<int>(n);
            break;
        case optExitAfterRun:
            exitAfterRun = true;
            break;
        case optDumpFlash:
            dumpPath = optarg;
            break;
        case optLog:
            logPath = optarg;
            break;
        case 'h':
            std::cout << helpText;
            return exitOk;
        case 'V':
            std::cout << "sorbel-target " << sorbel::versionText << '\n';
            return exitOk;
        case ':':
            return usage("option " + name + " needs a value");
        default:
            return usage("unknown option " + name);
        }
    }
    if (optind < argc) {
        return usage("unexpected argument '" + std::string(argv[optind]) + "'");
    }

    // Signals are taken synchronously by the main thread; the loader thread inherits the
    // blocked mask.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    sigaddset(&endSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

    SimulatedTarget target(options);
    std::string error;
    if (!target.start(error)) {
        std::cerr << "sorbel-target: cannot open the line: " << error << '\n';
        return exitFailure;
    }
    std::cout << target.portPath() << std::endl;

    const timespec step{0, static_cast<long>(std::chrono::nanoseconds(signalPoll).count())};
    for (;;) {
        const int sig = sigtimedwait(&endSignals, nullptr, &step);
        if (sig > 0) {
            break;
        }
        if (exitAfterRun && target.runStarted()) {
            // The run command's answer goes out just after runStarted is set.
            target.waitFor(
                [&] {
                    return target.packetsHandled() == static_cast<int>(target.packets().size());
                },
                answerDrainLimit);
            break;
        }
        if (target.hungUp()) {
            break;
        }
    }
    target.stop();

    const auto packets = target.packets();
    std::cout << "bytes programmed: " << target.bytesProgrammed() << '\n'
              << "packets received: " << packets.size() << '\n'
              << "resynchronisation frames: " << target.resyncFrames() << '\n'
              << "run started: " << (target.runStarted() ? "yes" : "no") << std::endl;

    int status = exitOk;
    if (!dumpPath.empty() && !target.dumpFlash(dumpPath, error)) {
        std::cerr << "sorbel-target: " << error << '\n';
        status = exitFailure;
    }
    if (!logPath.empty() && !target.writeLog(logPath, error)) {
        std::cerr << "sorbel-target: " << error << '\n';
        status = exitFailure;
    }
    return status;
}
