// Intel HEX reader: words of the file, the end-record test, record decoding with its
// diagnostics, and the data size estimate.
#include "loader/HexFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace sorbel {

namespace {

// Positions of the fields in a record line; the record mark at 0 is not examined.
constexpr std::size_t countPos = 1;
constexpr std::size_t addressPos = 3;
constexpr std::size_t typePos = 7;
constexpr std::size_t dataPos = 9;
constexpr int byteDigits = 2;
constexpr int addressDigits = 4;
constexpr std::size_t recordOverhead = 11; // mark, count, address, type, checksum
constexpr int dataType = 0x00;
constexpr int segmentType = 0x02; // extended segment address: base = segment << 4
constexpr int linearType = 0x04;  // extended linear address: base = linear << 16
constexpr int segmentShift = 4;
constexpr int linearShift = 16;
constexpr int baseRecordBytes = 2;
constexpr std::size_t endRecordLength = 11;
constexpr std::int64_t estimateNumerator = 16;
constexpr std::int64_t estimateDenominator = 45;

bool isBlank(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Reads a field the way "%2x" / "%4lx" read it where it matters: at most maxDigits
// hexadecimal digits of either case, failing when the first character is not one. A
// sign is not a digit, so "+f" or "-1" make the field unreadable and no negative or
// oversized value can come out. A field that starts at or after the terminating zero
// (position >= length) fails without being looked at, and reading stops at the zero,
// so nothing past the end of the line is ever read. The formatted-input conversion
// would skip leading white space first; the words of a HEX file hold no white space,
// so that difference cannot arise for them, and here a blank simply ends the field.
bool readField(const char* line, std::size_t length, std::size_t position, int maxDigits,
               std::uint32_t& value) {
    if (position >= length) {
        return false;
    }
    std::uint32_t result = 0;
    int digits = 0;
    for (; digits < maxDigits && position + digits < length; ++digits) {
        const int digit = hexDigitValue(line[position + digits]);
        if (digit < 0) {
            break;
        }
        result = (result << 4) | static_cast<std::uint32_t>(digit);
    }
    if (digits == 0) {
        return false;
    }
    value = result;
    return true;
}

// The strict reading of a line, for the diagnostics: every character after the record
// mark a hexadecimal digit, and exactly as many as the count field asks for.
HexFault strictFault(const char* line, std::size_t length, bool checksumGood) {
    constexpr std::size_t countEnd = countPos + byteDigits;
    std::size_t expected = recordOverhead;
    if (length >= countEnd && hexDigitValue(line[countPos]) >= 0 &&
        hexDigitValue(line[countPos + 1]) >= 0) {
        const auto declared = static_cast<std::size_t>(hexDigitValue(line[countPos]) * 16 +
                                                       hexDigitValue(line[countPos + 1]));
        expected += byteDigits * declared;
    }
    const std::size_t checked = length < expected ? length : expected;
    for (std::size_t i = countPos; i < checked; ++i) {
        if (hexDigitValue(line[i]) < 0) {
            return HexFault::notHex;
        }
    }
    if (length < expected) {
        return HexFault::tooShort;
    }
    if (length > expected) {
        return HexFault::tooLong;
    }
    return checksumGood ? HexFault::none : HexFault::badChecksum;
}

// Holds a stream's lock for a scope.
class StreamLock {
public:
    explicit StreamLock(std::FILE* stream) : stream_(stream) { ::flockfile(stream_); }
    ~StreamLock() { ::funlockfile(stream_); }
    StreamLock(const StreamLock&) = delete;
    StreamLock& operator=(const StreamLock&) = delete;

private:
    std::FILE* stream_;
};

} // namespace

const char* describeHexFault(HexFault fault) {
    switch (fault) {
    case HexFault::none:
        return "";
    case HexFault::badChecksum:
        return "checksum error";
    case HexFault::notHex:
        return "not hexadecimal";
    case HexFault::tooShort:
        return "line too short";
    case HexFault::tooLong:
        return "line too long";
    }
    return "";
}

HexFile::HexFile(HexFile&& other) noexcept
    : stream_(std::exchange(other.stream_, nullptr)), failed_(std::exchange(other.failed_, true)),
      overlong_(std::exchange(other.overlong_, false)),
      currentLine_(std::exchange(other.currentLine_, 1)),
      wordLine_(std::exchange(other.wordLine_, 0)) {}

HexFile& HexFile::operator=(HexFile&& other) noexcept {
    if (this != &other) {
        closeHexFile(*this);
        stream_ = std::exchange(other.stream_, nullptr);
        failed_ = std::exchange(other.failed_, true);
        overlong_ = std::exchange(other.overlong_, false);
        currentLine_ = std::exchange(other.currentLine_, 1);
        wordLine_ = std::exchange(other.wordLine_, 0);
    }
    return *this;
}

HexFile::~HexFile() {
    closeHexFile(*this);
}

HexFile openHexFile(const std::string& path) {
    HexFile file;
    // Opened without waiting, so that a FIFO in the file's place cannot block the caller
    // until some other program writes to it; "e": not inherited by programs started later.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return file;
    }
    // Only a regular file holds a HEX text with an end: a folder holds no text, and a FIFO,
    // a socket or a device (/dev/zero, a terminal) could block a pass or never end it.
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        const int error = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        errno = error;
        return file;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* stream = ::fdopen(fd, "r");
    if (stream == nullptr) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return file;
    }
    file.stream_ = stream;
    file.failed_ = false;
    return file;
}

int readHexLine(HexFile& file, char* line) {
    line[0] = '\0';
    file.overlong_ = false;
    if (file.failed_ || file.stream_ == nullptr) {
        file.failed_ = true;
        return 0;
    }
    std::FILE* stream = file.stream_;
    // The stream is locked once for the word, not once a character: the download worker reads
    // in a process of several threads, where every plain getc would take the lock again.
    StreamLock lock(stream);
    // Lines end with LF, CR LF or a lone CR; each ending counts once.
    bool afterCarriageReturn = false;
    int c = ::getc_unlocked(stream);
    for (; c != EOF && isBlank(c); c = ::getc_unlocked(stream)) {
        if (c == '\r' || (c == '\n' && !afterCarriageReturn)) {
            ++file.currentLine_;
        }
        afterCarriageReturn = c == '\r';
    }
    if (c == EOF) {
        file.failed_ = true;
        return 0;
    }
    file.wordLine_ = file.currentLine_;
    std::size_t length = 0;
    for (; c != EOF && !isBlank(c); c = ::getc_unlocked(stream)) {
        if (length < hexLineSize - 1) {
            line[length++] = static_cast<char>(c);
        } else {
            file.overlong_ = true; // the rest of the word is consumed, not stored
        }
    }
    line[length] = '\0';
    if (c != EOF) {
        // Give the blank back so that its line ending is counted before the next word.
        std::ungetc(c, stream);
    }
    return 1;
}

int isEndRecord(const char* line) {
    return std::strncmp(line, hexEndRecord, endRecordLength) == 0 ? 1 : 0;
}

void parseHexRecord(const char* line, std::uint32_t& address, int& count, std::uint8_t* data) {
    decodeHexRecord(line, address, count, data);
}

HexRecordInfo decodeHexRecord(const char* line, std::uint32_t& address, int& count,
                              std::uint8_t* data) {
    HexRecordInfo info;
    const std::size_t length = std::strlen(line);
    count = 0;

    std::uint32_t declared = 0;
    std::uint32_t type = 0;
    std::uint32_t checksum = 0;
    bool checksumGood = false;
    bool fieldsRead = readField(line, length, countPos, byteDigits, declared) &&
                      readField(line, length, addressPos, addressDigits, address) &&
                      readField(line, length, typePos, byteDigits, type);
    if (fieldsRead) {
        info.type = static_cast<int>(type);
        std::uint32_t sum = declared + (address >> 8) + address + type;
        for (std::uint32_t i = 0; i < declared && fieldsRead; ++i) {
            std::uint32_t byte = 0;
            fieldsRead = readField(line, length, dataPos + byteDigits * i, byteDigits, byte);
            if (fieldsRead) {
                data[i] = static_cast<std::uint8_t>(byte);
                sum += byte;
            }
        }
        fieldsRead = fieldsRead &&
                     readField(line, length, dataPos + byteDigits * declared, byteDigits, checksum);
        checksumGood = fieldsRead && ((sum + checksum) & 0xFFU) == 0;
    }

    if (checksumGood && type == dataType) {
        count = static_cast<int>(declared);
    }
    if (!checksumGood) {
        info.kind = HexRecordKind::malformed;
    } else if (type == dataType) {
        info.kind = HexRecordKind::data;
    } else if (isEndRecord(line) != 0) {
        info.kind = HexRecordKind::endRecord;
    } else {
        info.kind = HexRecordKind::otherType;
    }

    info.fault = strictFault(line, length, checksumGood);
    if (checksumGood && (type == segmentType || type == linearType)) {
        // These records carry exactly two bytes; any other count is not a base.
        if (declared == baseRecordBytes) {
            const std::uint32_t value = (std::uint32_t{data[0]} << 8) | data[1];
            info.base = value << (type == segmentType ? segmentShift : linearShift);
        } else if (info.fault == HexFault::none) {
            info.fault = declared < baseRecordBytes ? HexFault::tooShort : HexFault::tooLong;
        }
    }
    return info;
}

int estimateDataBytes(const std::string& path, std::int32_t& estimate) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return 0;
    }
    // size * 16 / 45 truncated, split so that no size can overflow 64 bits.
    const std::int64_t size = status.st_size;
    const std::int64_t quotient =
        size / estimateDenominator * estimateNumerator +
        size % estimateDenominator * estimateNumerator / estimateDenominator;
    constexpr std::int64_t largest = std::numeric_limits<std::int32_t>::max();
    estimate = static_cast<std::int32_t>(quotient < largest ? quotient : largest);
    return 1;
}

void closeHexFile(HexFile& file) {
    if (file.stream_ != nullptr) {
        std::fclose(file.stream_);
        file.stream_ = nullptr;
    }
    file.failed_ = true;
}

} // namespace sorbel
