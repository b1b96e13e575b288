// sorbel-reader-bench: the Intel HEX reader's throughput beside srec_cat's on the same file.
//
// Writes one large file (16-byte records at rising addresses, an extended linear address
// record every 64 KiB; SORBEL_READER_MB megabytes, 64 by default), then runs two Google
// Benchmark cases over it: SORBEL's reader (readHexLine, isEndRecord, parseHexRecord, word
// by word as a job pass reads) and srec_cat converting the file to binary. After the usual
// benchmark table (on standard error) it prints one line with both rates and their ratio on
// standard output. Benchmark flags
// (--benchmark_min_time=..., --benchmark_format=json, ...) are passed through.
#include "BenchSupport.h"

#include "loader/HexFile.h"

#include <benchmark/benchmark.h>

#include <condition_variable>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using sorbel::bench::Clock;

std::string g_file;
std::uint64_t g_records = 0;
std::uint64_t g_bytes = 0;

struct Pass {
    std::uint64_t words = 0;
    std::uint64_t records = 0;
    std::uint64_t dataBytes = 0;
};

Pass readWholeFile(const std::string& path) {
    Pass pass;
    sorbel::HexFile file = sorbel::openHexFile(path);
    char line[sorbel::hexLineSize];
    std::uint8_t data[sorbel::hexDataSize];
    while (sorbel::readHexLine(file, line) == 1) {
        ++pass.words;
        if (sorbel::isEndRecord(line))
            break;
        std::uint32_t address = 0;
        int count = 0;
        sorbel::parseHexRecord(line, address, count, data);
        if (count > 0) {
            ++pass.records;
            pass.dataBytes += static_cast<std::uint64_t>(count);
        }
    }
    sorbel::closeHexFile(file);
    return pass;
}

void sorbelReader(benchmark::State& state) {
    Pass pass;
    for (auto _ : state) {
        pass = readWholeFile(g_file);
        benchmark::DoNotOptimize(pass);
    }
    if (pass.records != g_records) {
        state.SkipWithError("the reader did not find every record");
        return;
    }
    const auto iterations = static_cast<double>(state.iterations());
    state.counters["words"] = benchmark::Counter(static_cast<double>(pass.words) * iterations,
                                                 benchmark::Counter::kIsRate);
    state.counters["records"] = benchmark::Counter(static_cast<double>(pass.records) * iterations,
                                                   benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<std::int64_t>(g_bytes) * state.iterations());
}

void srecCat(benchmark::State& state) {
    std::vector<std::string> words = {"srec_cat", g_file, "-intel", "-o", "/dev/null", "-binary"};
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    for (auto _ : state) {
        const auto started = Clock::now();
        pid_t pid = -1;
        if (::posix_spawnp(&pid, "srec_cat", nullptr, nullptr, argv.data(), environ) != 0) {
            state.SkipWithError("srec_cat cannot be started (Debian package srecord)");
            return;
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("srec_cat failed on the file");
            return;
        }
        state.SetIterationTime(sorbel::bench::seconds(Clock::now() - started));
    }
    const auto iterations = static_cast<double>(state.iterations());
    state.counters["records"] = benchmark::Counter(static_cast<double>(g_records) * iterations,
                                                   benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<std::int64_t>(g_bytes) * state.iterations());
}

// Keeps the console table and remembers each case's records per second.
class RateReporter : public benchmark::ConsoleReporter {
public:
    // The table without colours: it goes to a log as often as to a terminal.
    RateReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration)
                continue;
            const auto records = run.counters.find("records");
            if (records == run.counters.end())
                continue;
            // Counters arrive already divided by the time for rates.
            rates[run.run_name.function_name] = records->second.value;
            const auto words = run.counters.find("words");
            if (words != run.counters.end())
                wordRate = words->second.value;
        }
    }
    std::map<std::string, double> rates;
    double wordRate = 0;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // The reader runs on the download worker, one thread among others: with a second thread
    // alive the C library takes its locks as it does in the programs.
    std::mutex idleMutex;
    std::condition_variable idleWake;
    bool idleDone = false;
    std::thread idle([&] {
        std::unique_lock lock(idleMutex);
        idleWake.wait(lock, [&] { return idleDone; });
    });
    const char* sizeText = std::getenv("SORBEL_READER_MB");
    const double megabytes = sizeText != nullptr ? std::strtod(sizeText, nullptr) : 64;
    const std::string folder = sorbel::bench::makeScratchFolder();
    g_file = folder + "/reader.hex";
    g_records =
        sorbel::bench::writeLinearImage(g_file, static_cast<std::uint64_t>(megabytes * 1e6));
    struct stat status {};
    if (folder.empty() || g_records == 0 || ::stat(g_file.c_str(), &status) != 0) {
        std::fprintf(stderr, "cannot write the file\n");
        return 2;
    }
    g_bytes = static_cast<std::uint64_t>(status.st_size);
    std::fprintf(stderr, "file: %.1f MB, %llu data records of 16 bytes\n", g_bytes / 1e6,
                 static_cast<unsigned long long>(g_records));

    benchmark::RegisterBenchmark("sorbel_reader", sorbelReader)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark("srec_cat_to_binary", srecCat)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime();
    // The table goes to the error stream: the output stream carries only the summary line.
    RateReporter reporter;
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    sorbel::bench::removeFolder(folder);
    {
        std::lock_guard lock(idleMutex);
        idleDone = true;
    }
    idleWake.notify_all();
    idle.join();

    const double ours = reporter.rates["sorbel_reader"];
    const double theirs = reporter.rates["srec_cat_to_binary"];
    if (ours <= 0 || theirs <= 0) {
        std::printf("reader throughput: not measured (a case failed)\n");
        return 2;
    }
    std::printf("reader throughput: %.2f M words/s, %.2f M records/s; srec_cat to binary "
                "%.2f M records/s; ratio %.2f (%.0f MB file)\n",
                reporter.wordRate / 1e6, ours / 1e6, theirs / 1e6, ours / theirs, g_bytes / 1e6);
    return 0;
}
