#include "BenchSupport.h"

#include "loader/ProgrammingJob.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <pthread.h>
#include <random>
#include <unistd.h>

namespace sorbel::bench {

namespace {

constexpr std::size_t imageRecordSize = 16;
constexpr const char* endRecordLine = ":00000001FF";
constexpr const char* emptyDataRecord = ":0000000000";
constexpr int dataType = 0;
constexpr int linearAddressType = 4;

class HexWriter {
public:
    explicit HexWriter(const std::string& path) : file_(std::fopen(path.c_str(), "wb")) {
        if (file_ != nullptr)
            std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
    }
    ~HexWriter() {
        if (file_ != nullptr)
            std::fclose(file_);
    }
    HexWriter(const HexWriter&) = delete;
    HexWriter& operator=(const HexWriter&) = delete;

    bool good() const { return file_ != nullptr && !failed_; }
    std::uint64_t written() const { return written_; }

    void line(const std::string& text) {
        if (file_ == nullptr)
            return;
        failed_ = failed_ || std::fputs(text.c_str(), file_) < 0 || std::fputc('\n', file_) < 0;
        written_ += text.size() + 1;
    }
    bool close() {
        if (file_ == nullptr)
            return false;
        const bool ok = std::fclose(file_) == 0 && !failed_;
        file_ = nullptr;
        return ok;
    }

private:
    std::FILE* file_;
    bool failed_ = false;
    std::uint64_t written_ = 0;
};

// Data that depends only on the address, so that a record repeated later carries the same
// bytes and a verify of the flash after the last write agrees with every copy.
void fillFor(std::uint32_t address, std::uint8_t* data, std::size_t count, std::uint32_t seed) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t a = address + static_cast<std::uint32_t>(i);
        data[i] = static_cast<std::uint8_t>((a * 2654435761U + seed * 40503U) >> 13);
    }
}

} // namespace

std::string hexRecordLine(int type, std::uint32_t address, const std::uint8_t* data,
                          std::size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string line;
    line.reserve(11 + 2 * count);
    unsigned sum = 0;
    const auto put = [&](unsigned byte) {
        line += digits[(byte >> 4) & 0xF];
        line += digits[byte & 0xF];
        sum += byte;
    };
    line += ':';
    put(static_cast<unsigned>(count));
    put((address >> 8) & 0xFF);
    put(address & 0xFF);
    put(static_cast<unsigned>(type));
    for (std::size_t i = 0; i < count; ++i)
        put(data[i]);
    const unsigned checksum = (0x100 - (sum & 0xFF)) & 0xFF;
    put(checksum);
    return line;
}

std::uint64_t writeFullImage(const std::string& path, std::uint32_t seed) {
    HexWriter out(path);
    std::uint8_t data[imageRecordSize];
    std::uint64_t total = 0;
    // The job accepts a record when address + count <= flashAddressLimit.
    for (std::uint32_t address = 0; address < flashAddressLimit;) {
        const auto count = std::min<std::size_t>(imageRecordSize, flashAddressLimit - address);
        fillFor(address, data, count, seed);
        out.line(hexRecordLine(dataType, address, data, count));
        address += static_cast<std::uint32_t>(count);
        total += count;
    }
    out.line(endRecordLine);
    return out.close() ? total : 0;
}

std::uint64_t writeRepeatedImage(const std::string& path, std::uint64_t bytes,
                                 std::size_t recordSize, int emptyRecords) {
    HexWriter out(path);
    std::vector<std::uint8_t> data(recordSize);
    std::uint64_t records = 0;
    const std::uint32_t lastStart = flashAddressLimit - static_cast<std::uint32_t>(recordSize);
    std::uint32_t address = 0;
    while (out.good() && out.written() + 12 < bytes) {
        fillFor(address, data.data(), recordSize, 1);
        out.line(hexRecordLine(dataType, address, data.data(), recordSize));
        for (int i = 0; i < emptyRecords; ++i)
            out.line(emptyDataRecord);
        ++records;
        address += static_cast<std::uint32_t>(recordSize);
        if (address > lastStart)
            address = 0;
    }
    out.line(endRecordLine);
    return out.close() ? records : 0;
}

std::uint64_t writeLinearImage(const std::string& path, std::uint64_t bytes) {
    HexWriter out(path);
    std::uint8_t data[imageRecordSize];
    std::uint64_t records = 0;
    std::uint64_t address = 0;
    while (out.good() && out.written() + 12 < bytes) {
        if (address % 0x10000 == 0) {
            const std::uint8_t base[2] = {static_cast<std::uint8_t>(address >> 24),
                                          static_cast<std::uint8_t>(address >> 16)};
            out.line(hexRecordLine(linearAddressType, 0, base, 2));
        }
        fillFor(static_cast<std::uint32_t>(address), data, imageRecordSize, 3);
        out.line(hexRecordLine(dataType, static_cast<std::uint32_t>(address & 0xFFFF), data,
                               imageRecordSize));
        ++records;
        address += imageRecordSize;
    }
    out.line(endRecordLine);
    return out.close() ? records : 0;
}

void BenchHost::captureClock() {
    // Called on the worker thread.
    std::lock_guard lock(mutex_);
    if (!haveClock_ && pthread_getcpuclockid(pthread_self(), &clock_) == 0)
        haveClock_ = true;
}

void BenchHost::addStatusLine(const std::string& text) {
    const auto now = Clock::now();
    captureClock();
    std::lock_guard lock(mutex_);
    lines_.push_back({now, text});
}

void BenchHost::setProgressRange(int) {}

void BenchHost::setProgressPos(int) {
    // The worker calls this before every command: it must stay as cheap as a host can be.
    std::lock_guard lock(mutex_);
    ++progressCalls_;
}

void BenchHost::enableButton(int id, bool enabled) {
    captureClock();
    if (id == configureButton && enabled) {
        std::lock_guard lock(mutex_);
        over_ = true;
        ended_.notify_all();
    }
}

void BenchHost::showMessage(const std::string& text) {
    std::lock_guard lock(mutex_);
    messages_.push_back(text);
}

bool BenchHost::waitForEnd(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return ended_.wait_for(lock, limit, [&] { return over_; });
}

std::vector<TimedLine> BenchHost::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<std::string> BenchHost::messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

Clock::time_point BenchHost::timeOf(const std::string& head) const {
    std::lock_guard lock(mutex_);
    for (const auto& line : lines_)
        if (line.text.starts_with(head))
            return line.at;
    return {};
}

clockid_t BenchHost::workerClock() const {
    std::lock_guard lock(mutex_);
    return haveClock_ ? clock_ : CLOCK_THREAD_CPUTIME_ID;
}

long BenchHost::progressCalls() const {
    std::lock_guard lock(mutex_);
    return progressCalls_;
}

double percentile(std::vector<double>& values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * values.size()));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double cpuSeconds(clockid_t clock) {
    timespec ts{};
    if (::clock_gettime(clock, &ts) != 0)
        return 0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string programFolder() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return "./";
    return self.parent_path().string() + "/";
}

std::string makeScratchFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/sorbel-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        return {};
    return pattern;
}

void removeFolder(const std::string& path) {
    std::error_code error;
    if (!path.empty())
        std::filesystem::remove_all(path, error);
}

} // namespace sorbel::bench
