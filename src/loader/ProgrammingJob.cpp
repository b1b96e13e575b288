#include "loader/ProgrammingJob.h"

#include "loader/CommandPacket.h"
#include "loader/HexFile.h"
#include "loader/HostGuard.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>

namespace sorbel {

namespace {

// Record types that set a base for the addresses that follow.
constexpr int extendedSegmentAddressType = 2;
constexpr int extendedLinearAddressType = 4;

std::string baseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// head + "0x<from> - 0x<to>" + tail, lower-case hexadecimal without leading zeros.
std::string addressRange(const char* head, std::uint32_t from, std::uint32_t to, const char* tail) {
    char text[160];
    std::snprintf(text, sizeof text, "%s0x%lx - 0x%lx%s", head, static_cast<unsigned long>(from),
                  static_cast<unsigned long>(to), tail);
    return text;
}

bool addressFits(std::uint32_t address, int count) {
    return address <= flashAddressLimit &&
           address + static_cast<std::uint32_t>(count) <= flashAddressLimit;
}

class Job {
public:
    Job(WorkerHost& host, SerialPort& port, const DownloadSettings& settings, std::stop_token stop)
        : guard_(host, std::move(stop)), port_(port), massErase_(optionOn(settings.massErase)),
          program_(optionOn(settings.program)), verify_(optionOn(settings.verify)) {}

    JobResult run();

private:
    bool failed() const { return retry_ >= maxSendAttempts; }
    bool stopping() const { return guard_.stopping(); }
    // Loops over the file go on while this holds.
    bool goingOn() const { return !failed() && !stopping(); }

    bool checkFile(HexFile& file);
    bool refuse(long line, const std::string& fault);
    bool openPass(HexFile& file);
    bool nextRecordLine(HexFile& file);
    void planPass();
    void eraseStep();
    void dataPass(bool write);
    void send(const CommandPacket& packet) { retry_ = sendPacket(port_, packet, guard_); }

    HostGuard guard_;
    SerialPort& port_;
    const bool massErase_;
    const bool program_;
    const bool verify_;
    std::string path_;
    int retry_ = 0;
    std::int32_t estimate_ = 0;
    std::array<bool, flashPageCount> pages_{};
    char line_[hexLineSize] = {};
    // parseHexRecord may store as many bytes as a record can declare.
    std::array<std::uint8_t, hexDataSize> data_{};
};

JobResult Job::run() {
    // Step 1: the path is taken once; a file chosen meanwhile applies to the next job.
    path_ = guard_.host().downloadPath();
    std::int32_t estimate = 0;
    if (estimateDataBytes(path_, estimate))
        estimate_ = estimate;

    // Step 2: the opening, and the check of the whole file before any command.
    HexFile file = openHexFile(path_);
    if (file.failed()) {
        guard_.showMessage("File Open Error");
        return stopping() ? JobResult::stopped : JobResult::fileOpenError;
    }
    const bool fileGood = checkFile(file);
    closeHexFile(file);
    if (!fileGood)
        retry_ = maxSendAttempts;

    if (massErase_ && goingOn()) {
        guard_.addStatusLine("Mass Erasing ");
        send(massErasePacket());
    }
    if (program_ && goingOn())
        planPass();
    if (program_ && goingOn())
        eraseStep();
    if (program_ && goingOn())
        dataPass(true);
    if (verify_ && goingOn())
        dataPass(false);

    if (stopping())
        return JobResult::stopped;
    if (!failed()) {
        guard_.addStatusLine("Download Complete.");
        guard_.addStatusLine("    Click Run to run program.");
        return JobResult::complete;
    }
    guard_.addStatusLine("Flash error.");
    guard_.addStatusLine("    Check setup and try downloading again.");
    return stopping() ? JobResult::stopped : JobResult::failed;
}

// The check before the first command: a fault that the passes would skip without a word, or
// place where the loader cannot address, refuses the file.
bool Job::checkFile(HexFile& file) {
    const HexFileCheck check = checkHexRecords(file);
    return check.ok || refuse(check.line, check.fault);
}

bool Job::refuse(long line, const std::string& fault) {
    guard_.showMessage(baseName(path_) + " line " + std::to_string(line) + ": " + fault);
    return false;
}

bool Job::openPass(HexFile& file) {
    file = openHexFile(path_);
    if (!file.failed())
        return true;
    guard_.showMessage("File Open Error");
    retry_ = maxSendAttempts;
    return false;
}

// Reads the next word; false at the end record or at the end of the input.
bool Job::nextRecordLine(HexFile& file) {
    return readHexLine(file, line_) == 1 && !isEndRecord(line_);
}

void Job::planPass() {
    HexFile file;
    if (!openPass(file))
        return;
    pages_.fill(false);
    std::uint32_t address = 0;
    for (bool more = nextRecordLine(file); more && goingOn(); more = nextRecordLine(file)) {
        int count = 0;
        parseHexRecord(line_, address, count, data_.data());
        if (!addressFits(address, count)) {
            guard_.showMessage(addressRange("Wrong memory address ", address, address + count,
                                            " \n Erase aborted."));
            retry_ = maxSendAttempts;
        } else if (count > 0) {
            // Every page the record touches, from its first byte to its last.
            const auto last = (address + static_cast<std::uint32_t>(count) - 1) / flashPageSize;
            for (auto page = address / flashPageSize; page <= last; ++page)
                pages_[page] = true;
        }
    }
    closeHexFile(file);
}

void Job::eraseStep() {
    if (!massErase_) {
        const auto marked = std::count(pages_.begin(), pages_.begin() + erasablePageCount, true);
        char text[64];
        std::snprintf(text, sizeof text, "Erasing %d pages of 512 bytes each.",
                      static_cast<int>(marked));
        guard_.addStatusLine(text);
    } else {
        // The mass erase cleared the flash; only the highest marked page is erased again.
        // With no page marked, nothing follows the mass erase.
        const auto highest = std::find(pages_.rbegin(), pages_.rend(), true);
        const bool any = highest != pages_.rend();
        const auto page = any ? pages_.rend() - highest - 1 : 0;
        pages_.fill(false);
        if (any)
            pages_[page] = true;
    }
    for (int page = 0; page < erasablePageCount && goingOn(); ++page) {
        if (pages_[page])
            send(pageErasePacket(static_cast<std::uint32_t>(page) * flashPageSize));
    }
}

void Job::dataPass(bool write) {
    HexFile file;
    if (!openPass(file))
        return;
    bool more = nextRecordLine(file);
    guard_.addStatusLine((write ? "Downloading ... " : "Verifying ... ") +
                         std::to_string(estimate_) + " bytes");
    guard_.setProgressRange(estimate_);
    int position = progressStep;
    std::uint32_t address = 0;
    for (; more && goingOn(); more = nextRecordLine(file)) {
        int count = 0;
        parseHexRecord(line_, address, count, data_.data());
        if (write && !addressFits(address, count)) {
            retry_ = maxSendAttempts;
            guard_.showMessage(addressRange("Wrong memory address ", address, address + count,
                                            " \n Download aborted."));
            break;
        }
        // One command per maxCommandData bytes, at consecutive addresses.
        const auto total = static_cast<std::size_t>(count);
        for (std::size_t offset = 0; offset < total && goingOn(); offset += maxCommandData) {
            const std::size_t chunk = std::min(maxCommandData, total - offset);
            const std::uint32_t at = address + static_cast<std::uint32_t>(offset);
            const std::uint8_t* bytes = data_.data() + offset;
            guard_.setProgressPos(position);
            send(write ? writePacket(at, bytes, chunk) : verifyPacket(at, bytes, chunk));
            position += progressStep;
            if (failed())
                guard_.showMessage(
                    addressRange("Error at ", at, at + static_cast<std::uint32_t>(chunk),
                                 write ? " \n Download aborted." : " \n Verify aborted."));
        }
    }
    closeHexFile(file);
}

} // namespace

HexFileCheck checkHexRecords(HexFile& file) {
    HexFileCheck check;
    char line[hexLineSize];
    std::array<std::uint8_t, hexDataSize> data{};
    check.line = 1;
    for (;;) {
        if (readHexLine(file, line) != 1) {
            check.fault = "the file ends without an end record " + std::string(hexEndRecord);
            return check;
        }
        check.line = file.lineNumber();
        if (file.lastWordOverlong()) {
            check.fault = describeHexFault(HexFault::tooLong);
            return check;
        }
        if (isEndRecord(line)) {
            check.ok = true;
            check.line = 0;
            return check;
        }
        std::uint32_t address = 0;
        int count = 0;
        const HexRecordInfo info = decodeHexRecord(line, address, count, data.data());
        if (info.kind == HexRecordKind::malformed || info.fault != HexFault::none) {
            check.fault =
                info.fault != HexFault::none ? describeHexFault(info.fault) : "malformed record";
            return check;
        }
        if (info.kind == HexRecordKind::otherType &&
            (info.type == extendedSegmentAddressType || info.type == extendedLinearAddressType) &&
            info.base != 0) {
            char fault[96];
            std::snprintf(fault, sizeof fault,
                          "address base 0x%lx is beyond the 64 KiB the loader addresses",
                          static_cast<unsigned long>(info.base));
            check.fault = fault;
            return check;
        }
        if (count > 0) {
            check.dataBytes += static_cast<std::uint64_t>(count);
            ++check.dataRecords;
        }
    }
}

JobResult runProgrammingJob(WorkerHost& host, SerialPort& port, const DownloadSettings& settings,
                            std::stop_token stop) {
    // The line and record buffers live with the job, not on the worker's stack.
    auto job = std::make_unique<Job>(host, port, settings, std::move(stop));
    return job->run();
}

} // namespace sorbel
