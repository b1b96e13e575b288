#include "loader/ProgrammingJob.h"

#include "loader/CommandPacket.h"
#include "loader/HexFile.h"
#include "loader/HostGuard.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>

#include <sys/stat.h>

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
std::string addressRange(const std::string& head, std::uint32_t from, std::uint32_t to,
                         const char* tail) {
    char range[48];
    std::snprintf(range, sizeof range, "0x%lx - 0x%lx", static_cast<unsigned long>(from),
                  static_cast<unsigned long>(to));
    return head + range + tail;
}

bool addressFits(std::uint32_t address, int count) {
    return address <= flashAddressLimit &&
           address + static_cast<std::uint32_t>(count) <= flashAddressLimit;
}

// What tells one version of a file from another: the same path may name a new file (renamed
// over it) or the same file with new contents.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
};

bool sameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool operator==(const FileIdentity& a, const FileIdentity& b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           sameTime(a.modified, b.modified) && sameTime(a.changed, b.changed);
}

bool identify(const std::string& path, FileIdentity& identity) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return false;
    identity = {status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
    return true;
}

// What each pass adds to its boxes: the step that the failure ends.
const char* abortedText(bool plan, bool write) {
    return plan ? " \n Erase aborted." : write ? " \n Download aborted." : " \n Verify aborted.";
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
    bool openPass(HexFile& file, const char* aborted);
    // False, with a box, when the path no longer names the file the check read: compared
    // at each pass's opening, and after a pass has read through (readThrough) for a file
    // rewritten where it is.
    bool fileUnchanged(const char* aborted, bool readThrough = false);
    bool nextRecordLine(HexFile& file);
    bool endOfPass(HexFile& file, const char* aborted);
    bool planned(long line, std::uint32_t address, int count);
    void planPass();
    void eraseStep();
    void dataPass(bool write);
    void send(const CommandPacket& packet) { retry_ = sendPacket(port_, packet, guard_); }
    void fail(const std::string& box) {
        retry_ = maxSendAttempts;
        guard_.showMessage(box);
    }

    HostGuard guard_;
    SerialPort& port_;
    const bool massErase_;
    const bool program_;
    const bool verify_;
    std::string path_;
    // The file as the check read it; every later pass must read the same.
    FileIdentity identity_;
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
    // A file that cannot be examined keeps an identity no file has: it counts as changed.
    identify(path_, identity_);
    const bool fileGood = checkFile(file) && fileUnchanged(" \n Download aborted.", true);
    closeHexFile(file);
    if (!fileGood)
        retry_ = maxSendAttempts;

    if (massErase_ && goingOn()) {
        guard_.addStatusLine("Mass Erasing ");
        send(massErasePacket());
        if (failed())
            guard_.showMessage("Mass erase not acknowledged \n Erase aborted.");
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

// Each pass reads the file that was checked, or fails the job: a file replaced, cut short
// or rewritten since then would be erased for, written or verified only in part.
bool Job::openPass(HexFile& file, const char* aborted) {
    file = openHexFile(path_);
    if (file.failed()) {
        fail("File Open Error");
        return false;
    }
    return fileUnchanged(aborted);
}

bool Job::fileUnchanged(const char* aborted, bool readThrough) {
    FileIdentity now;
    const bool identified = identify(path_, now);
    if (identified && now == identity_)
        return true;
    // After a pass has read its stream to the end: a path that names another file now (or
    // none) leaves what the stream read untouched, and the next opening judges the new one.
    if (readThrough &&
        (!identified || now.device != identity_.device || now.inode != identity_.inode))
        return true;
    fail(baseName(path_) + " changed during the download" + aborted);
    return false;
}

// Reads the next word; false at the end record or at the end of the input.
bool Job::nextRecordLine(HexFile& file) {
    return readHexLine(file, line_) == 1 && !isEndRecord(line_);
}

// After a pass's record loop: unless the job already failed, the pass must have stopped at
// the end record of the file it began with. Input that ends without it is a file cut short
// since the check; nothing that follows may report the chip as programmed.
bool Job::endOfPass(HexFile& file, const char* aborted) {
    if (!goingOn())
        return false;
    if (!isEndRecord(line_)) {
        const long line = std::max(file.lineNumber(), 1L);
        fail(baseName(path_) + " line " + std::to_string(line) +
             ": the file ends without an end record " + hexEndRecord);
        return false;
    }
    return fileUnchanged(aborted, true);
}

// True when every page the record covers was erased for it. After a mass erase the whole
// flash below the loader is erased, and the address test has kept the record below it.
bool Job::planned(long line, std::uint32_t address, int count) {
    if (massErase_ || count <= 0)
        return true;
    const auto last = (address + static_cast<std::uint32_t>(count) - 1) / flashPageSize;
    for (auto page = address / flashPageSize; page <= last; ++page) {
        if (!pages_[page]) {
            fail(addressRange(baseName(path_) + " changed during the download: line " +
                                  std::to_string(line) + " at ",
                              address, address + static_cast<std::uint32_t>(count),
                              " was not in the erase plan \n Download aborted."));
            return false;
        }
    }
    return true;
}

void Job::planPass() {
    HexFile file;
    if (!openPass(file, abortedText(true, false)))
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
    endOfPass(file, abortedText(true, false));
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
        if (!pages_[page])
            continue;
        const auto address = static_cast<std::uint32_t>(page) * flashPageSize;
        send(pageErasePacket(address));
        if (failed()) {
            char text[80];
            std::snprintf(text, sizeof text, "Erase not acknowledged at 0x%lx \n Erase aborted.",
                          static_cast<unsigned long>(address));
            guard_.showMessage(text);
        }
    }
}

void Job::dataPass(bool write) {
    HexFile file;
    if (!openPass(file, abortedText(false, write)))
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
        if (write && !planned(file.lineNumber(), address, count))
            break;
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
                guard_.showMessage(addressRange("Error at ", at,
                                                at + static_cast<std::uint32_t>(chunk),
                                                abortedText(false, write)));
        }
    }
    endOfPass(file, abortedText(false, write));
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
