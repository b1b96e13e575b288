// The up-front look at the HEX file, with the engine's reader routines.
#include "cli/FileCheck.h"

#include "loader/HexFile.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace sorbel::cli {

namespace {

constexpr int extendedSegmentAddressType = 2;
constexpr int extendedLinearAddressType = 4;

FileCheckResult refuse(const std::string& path, long line, const std::string& fault) {
    FileCheckResult result;
    result.message = path + " line " + std::to_string(line) + ": " + fault;
    return result;
}

std::string hexNumber(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(value));
    return text;
}

} // namespace

FileCheckResult checkHexFile(const std::string& path) {
    FileCheckResult result;
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        result.message = path + ": cannot open: " + std::strerror(errno);
        return result;
    }
    if (S_ISDIR(status.st_mode)) {
        result.message = path + ": cannot open: it is a folder, not a HEX file";
        return result;
    }
    if (!S_ISREG(status.st_mode)) {
        // A FIFO would block the reading until another program writes to it, a device such
        // as /dev/zero would never end it.
        result.message = path + ": cannot open: it is not a regular file (" +
                         (S_ISFIFO(status.st_mode)   ? "a FIFO"
                          : S_ISSOCK(status.st_mode) ? "a socket"
                                                     : "a device") +
                         "), not a HEX file";
        return result;
    }
    errno = 0;
    HexFile file = openHexFile(path);
    if (file.failed()) {
        const int error = errno;
        result.message =
            path + ": cannot open: " + (error != 0 ? std::strerror(error) : "not readable");
        return result;
    }
    std::array<char, hexLineSize> line{};
    std::array<std::uint8_t, hexDataSize> data{};
    long lastLine = 1;
    for (;;) {
        if (readHexLine(file, line.data()) != 1) {
            return refuse(path, lastLine,
                          std::string("the file ends without an end record ") + hexEndRecord);
        }
        lastLine = file.lineNumber();
        if (file.lastWordOverlong()) {
            return refuse(path, lastLine, describeHexFault(HexFault::tooLong));
        }
        if (isEndRecord(line.data()) != 0) {
            break;
        }
        std::uint32_t address = 0;
        int count = 0;
        const HexRecordInfo info = decodeHexRecord(line.data(), address, count, data.data());
        if (info.kind == HexRecordKind::malformed || info.fault != HexFault::none) {
            return refuse(path, lastLine,
                          info.fault != HexFault::none ? describeHexFault(info.fault)
                                                       : "malformed record");
        }
        if (info.kind == HexRecordKind::otherType &&
            (info.type == extendedSegmentAddressType || info.type == extendedLinearAddressType) &&
            info.base != 0) {
            return refuse(path, lastLine,
                          "address base " + hexNumber(info.base) +
                              " is beyond the 64 KiB the loader addresses");
        }
        if (count > 0) {
            result.dataBytes += static_cast<std::uint64_t>(count);
            ++result.dataRecords;
        }
    }
    closeHexFile(file);
    result.ok = true;
    return result;
}

} // namespace sorbel::cli
