// Intel HEX reader: the file as white-space separated words, one record line at a time.
//
// Contract (any one thread per HexFile; no output of any kind):
//  - openHexFile(path): a HexFile, failed() when the file cannot be opened for reading.
//  - readHexLine(file, line): copies the next word (at most hexLineSize - 1 characters plus
//    a terminating zero) into line and returns 1; returns 0 with line empty at the end of
//    the input or on a failed file, and keeps doing so. A longer word is consumed whole,
//    truncated in line, and flagged (lastWordOverlong()). White space is blank, tab, LF,
//    VT, FF and CR; lines end with LF, CR LF or a lone CR. Other bytes, a zero included,
//    are copied as they are. Anything but a regular file (a folder, a FIFO, a socket, a
//    device) counts as a file that cannot be opened, without blocking; errno then says why
//    (EISDIR for a folder, EINVAL for the others).
//  - isEndRecord(line): 1 when the first 11 characters are exactly ":00000001FF".
//  - parseHexRecord(line, address, count, data): decodes one record. count is the number
//    of data bytes of a well-formed data record (type 00, good checksum) and 0 for anything
//    else; address keeps the last readable address field; data (hexDataSize bytes) receives
//    as many bytes as the count field declares and the line holds.
//  - decodeHexRecord(line, address, count, data): the same decoding, and it also says what
//    the line is (HexRecordInfo); parseHexRecord is this routine with the answer dropped.
//    kind follows the lenient decoding above: data (type 00, good checksum; count may be 0
//    for ":0000000000"), endRecord (isEndRecord(line) is 1), otherType (any other type with
//    a good checksum), malformed (a field unreadable or the checksum wrong). fault is the
//    strict reading: every character after the record mark a hexadecimal digit (notHex),
//    exactly 11 + 2 * count characters (tooShort, tooLong; also for a type 02 or 04 record
//    whose count is not 2), and a good checksum (badChecksum). A line with a fault may still
//    decode leniently (":0x00000000" is a data record of 0 bytes with fault notHex); a
//    malformed line always has a fault. Fields are read with at most 2 or 4 digits of either
//    case, never with a sign, and never past the terminating zero.
//  - estimateDataBytes(path, estimate): 1 and estimate = size * 16 / 45 (64-bit, clamped to
//    the largest 32-bit value) when the size can be read; 0 and estimate untouched if not.
//  - closeHexFile(file): closes the stream; safe on a failed or closed file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace sorbel {

inline constexpr std::size_t hexLineSize = 520; // line buffer, terminating zero included
inline constexpr std::size_t hexDataSize = 255; // the most data bytes a record can declare
inline constexpr const char* hexEndRecord = ":00000001FF";

enum class HexRecordKind { data, otherType, endRecord, malformed };
enum class HexFault { none, badChecksum, notHex, tooShort, tooLong };

struct HexRecordInfo {
    HexRecordKind kind = HexRecordKind::malformed;
    HexFault fault = HexFault::none;
    int type = -1;          // record type field, -1 when unreadable
    std::uint32_t base = 0; // for types 02 and 04 with a good checksum: the base they set
};

// Text for a fault, as the operator reads it: "checksum error", "not hexadecimal",
// "line too short", "line too long"; empty for none.
const char* describeHexFault(HexFault fault);

class HexFile {
public:
    HexFile() = default;
    HexFile(HexFile&& other) noexcept;
    HexFile& operator=(HexFile&& other) noexcept;
    HexFile(const HexFile&) = delete;
    HexFile& operator=(const HexFile&) = delete;
    ~HexFile();

    bool failed() const { return failed_; }
    // Line of the file (from 1) on which the last word read began.
    long lineNumber() const { return wordLine_; }
    // True when the last word read was longer than the line buffer.
    bool lastWordOverlong() const { return overlong_; }

private:
    friend HexFile openHexFile(const std::string& path);
    friend int readHexLine(HexFile& file, char* line);
    friend void closeHexFile(HexFile& file);

    std::FILE* stream_ = nullptr;
    bool failed_ = true;
    bool overlong_ = false;
    long currentLine_ = 1;
    long wordLine_ = 0;
};

HexFile openHexFile(const std::string& path);
int readHexLine(HexFile& file, char* line); // line holds hexLineSize characters
int isEndRecord(const char* line);
void parseHexRecord(const char* line, std::uint32_t& address, int& count, std::uint8_t* data);
HexRecordInfo decodeHexRecord(const char* line, std::uint32_t& address, int& count,
                              std::uint8_t* data);
int estimateDataBytes(const std::string& path, std::int32_t& estimate);
void closeHexFile(HexFile& file);

} // namespace sorbel
