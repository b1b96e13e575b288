// Shared pieces of the benchmarks: HEX images written to disk, a lean worker host that
// time-stamps what the worker reports, statistics and clocks.
//
// Contract:
//  - writeFullImage(path, seed): 0x0000-0xF7FE (all the job accepts) in 16-byte records, the
//    last one 15 bytes, then the end record. Returns the data byte count, 0 on failure.
//  - writeRepeatedImage(path, bytes, recordSize, emptyRecords): records of recordSize bytes
//    that cycle through the accepted range again and again, each followed by emptyRecords
//    data records of no bytes (":0000000000", which every pass reads and skips), until the
//    file holds at least bytes; every record passes the job's address test. Returns the
//    number of records with data, 0 on failure.
//  - writeLinearImage(path, bytes): 16-byte records at rising addresses with an extended
//    linear address record every 64 KiB (a file any HEX tool converts without overlaps).
//  - BenchHost: a WorkerHost whose calls cost next to nothing. It records the time of each
//    status line, notices the end of a connection (Configure enabled again) and, at its
//    first call, the worker thread's processor-time clock.
//  - All times come from the steady clock.
#pragma once

#include "loader/WorkerHost.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

namespace sorbel::bench {

using Clock = std::chrono::steady_clock;

std::uint64_t writeFullImage(const std::string& path, std::uint32_t seed);
std::uint64_t writeRepeatedImage(const std::string& path, std::uint64_t bytes,
                                 std::size_t recordSize, int emptyRecords);
std::uint64_t writeLinearImage(const std::string& path, std::uint64_t bytes);

// One record line, upper-case digits, without a line ending.
std::string hexRecordLine(int type, std::uint32_t address, const std::uint8_t* data,
                          std::size_t count);

struct TimedLine {
    Clock::time_point at;
    std::string text;
};

class BenchHost final : public WorkerHost {
public:
    void addStatusLine(const std::string& text) override;
    void setProgressRange(int upper) override;
    void setProgressPos(int position) override;
    void enableButton(int id, bool enabled) override;
    void showMessage(const std::string& text) override;

    // Waits until the connection has ended (or the limit passed); true when it has.
    bool waitForEnd(std::chrono::milliseconds limit);
    std::vector<TimedLine> lines() const;
    std::vector<std::string> messages() const;
    // The time of the first line that starts with head; Clock::time_point{} when none.
    Clock::time_point timeOf(const std::string& head) const;
    // The worker thread's processor-time clock, valid after the worker's first call.
    clockid_t workerClock() const;
    long progressCalls() const;

private:
    void captureClock();

    mutable std::mutex mutex_;
    std::condition_variable ended_;
    bool over_ = false;
    bool haveClock_ = false;
    clockid_t clock_{};
    long progressCalls_ = 0;
    std::vector<TimedLine> lines_;
    std::vector<std::string> messages_;
};

// Nearest-rank percentile (0 < p <= 100) of values; 0 for none. values is sorted in place.
double percentile(std::vector<double>& values, double p);
double seconds(Clock::duration d);
// Processor time of a clock (a thread's or the process's), in seconds.
double cpuSeconds(clockid_t clock);
// The folder of the running program, with a trailing '/'.
std::string programFolder();
// A new folder under $TMPDIR (or /tmp) for the files of one run.
std::string makeScratchFolder();
void removeFolder(const std::string& path);

} // namespace sorbel::bench
