// Decoding of single record lines: what parseHexRecord yields, what the diagnostics say,
// and that malformed lines never give a count outside 0-255 or read past their end.
#include "loader/HexFile.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace sorbel {
namespace {

constexpr std::uint32_t untouchedAddress = 0xA5A5A5A5;
constexpr std::uint8_t untouchedByte = 0xEE;

const std::string workedRecord = ":10000000000102030405060708090A0B0C0D0E0F78";
const std::vector<std::uint8_t> workedBytes = {0, 1, 2,  3,  4,  5,  6,  7,
                                               8, 9, 10, 11, 12, 13, 14, 15};

struct RecordCase {
    const char* name;
    std::string line;
    int endRecord;
    std::uint32_t address; // untouchedAddress when no address field could be read
    int count;
    HexRecordKind kind;
    HexFault fault;
    int type;
    std::uint32_t base;
    std::vector<std::uint8_t> data; // expected first bytes of the data buffer
};

const std::vector<RecordCase>& recordCases() {
    using K = HexRecordKind;
    using F = HexFault;
    static const std::vector<RecordCase> cases = {
        {"worked data record", workedRecord, 0, 0, 16, K::data, F::none, 0, 0, workedBytes},
        {"checksum off by one keeps the bytes and the address",
         ":10000000000102030405060708090A0B0C0D0E0F77", 0, 0, 0, K::malformed, F::badChecksum, 0, 0,
         workedBytes},
        {"lower-case digits", ":10000000000102030405060708090a0b0c0d0e0f78", 0, 0, 16, K::data,
         F::none, 0, 0, workedBytes},
        {"letters in address, data and checksum",
         ":04ABCD00DEADBEEF4C",
         0,
         0xABCD,
         4,
         K::data,
         F::none,
         0,
         0,
         {0xDE, 0xAD, 0xBE, 0xEF}},
        {"the same in lower case",
         ":04abcd00deadbeef4c",
         0,
         0xABCD,
         4,
         K::data,
         F::none,
         0,
         0,
         {0xDE, 0xAD, 0xBE, 0xEF}},
        {"record mark not examined", "X10000000000102030405060708090A0B0C0D0E0F78", 0, 0, 16,
         K::data, F::none, 0, 0, workedBytes},
        {"extended linear address 0",
         ":020000040000FA",
         0,
         0,
         0,
         K::otherType,
         F::none,
         4,
         0,
         {0, 0}},
        {"extended linear address 0x0800",
         ":020000040800F2",
         0,
         0,
         0,
         K::otherType,
         F::none,
         4,
         0x08000000,
         {0x08, 0x00}},
        {"extended segment address 0x1200",
         ":020000021200EA",
         0,
         0,
         0,
         K::otherType,
         F::none,
         2,
         0x12000,
         {0x12, 0x00}},
        {"extended linear address with four bytes",
         ":0400000400000000F8",
         0,
         0,
         0,
         K::otherType,
         F::tooLong,
         4,
         0,
         {}},
        {"end record", ":00000001FF", 1, 0, 0, K::endRecord, F::none, 1, 0, {}},
        {"end record in lower case is not the end",
         ":00000001ff",
         0,
         0,
         0,
         K::otherType,
         F::none,
         1,
         0,
         {}},
        {"end record with a tail", ":00000001FFxyz", 1, 0, 0, K::endRecord, F::tooLong, 1, 0, {}},
        {"end record cut short", ":00000001F", 0, 0, 0, K::malformed, F::tooShort, 1, 0, {}},
        {"empty data record", ":0000000000", 0, 0, 0, K::data, F::none, 0, 0, {}},
        {"trailing characters after the checksum", workedRecord + "00", 0, 0, 16, K::data,
         F::tooLong, 0, 0, workedBytes},
        {"one-digit checksum followed by a letter",
         ":000000000G",
         0,
         0,
         0,
         K::data,
         F::notHex,
         0,
         0,
         {}},
        // A line that ends early is never read past its zero.
        {"empty line", "", 0, untouchedAddress, 0, K::malformed, F::tooShort, -1, 0, {}},
        {"record mark only", ":", 0, untouchedAddress, 0, K::malformed, F::tooShort, -1, 0, {}},
        {"count field of one digit",
         ":1",
         0,
         untouchedAddress,
         0,
         K::malformed,
         F::tooShort,
         -1,
         0,
         {}},
        {"ends inside the address", ":1000", 0, 0, 0, K::malformed, F::tooShort, -1, 0, {}},
        {"ends after the type", ":10000000", 0, 0, 0, K::malformed, F::tooShort, 0, 0, {}},
        {"ends inside the data",
         ":1000000000010203",
         0,
         0,
         0,
         K::malformed,
         F::tooShort,
         0,
         0,
         {0, 1, 2, 3}},
        {"ends before the checksum", ":10000000000102030405060708090A0B0C0D0E0F", 0, 0, 0,
         K::malformed, F::tooShort, 0, 0, workedBytes},
        // Fields without a hexadecimal digit.
        {"count not hexadecimal",
         ":GG00000000",
         0,
         untouchedAddress,
         0,
         K::malformed,
         F::notHex,
         -1,
         0,
         {}},
        {"address not hexadecimal",
         ":00ZZZZ0000",
         0,
         untouchedAddress,
         0,
         K::malformed,
         F::notHex,
         -1,
         0,
         {}},
        {"type not hexadecimal", ":001234QQ00", 0, 0x1234, 0, K::malformed, F::notHex, -1, 0, {}},
        {"data byte not hexadecimal",
         ":02000000AAXX00",
         0,
         0,
         0,
         K::malformed,
         F::notHex,
         0,
         0,
         {0xAA, untouchedByte}},
        {"blank inside a line", ":10000000 00", 0, 0, 0, K::malformed, F::notHex, 0, 0, {}},
        // Signs would make "%2x" yield negative or huge values; here they are no digits.
        {"plus sign in the count",
         ":+f000000" + std::string(40, '0'),
         0,
         untouchedAddress,
         0,
         K::malformed,
         F::notHex,
         -1,
         0,
         {}},
        {"minus sign in the count",
         ":-1000000" + std::string(40, '0'),
         0,
         untouchedAddress,
         0,
         K::malformed,
         F::notHex,
         -1,
         0,
         {}},
        {"minus sign in the address",
         ":00-1230000",
         0,
         untouchedAddress,
         0,
         K::malformed,
         F::notHex,
         -1,
         0,
         {}},
        {"minus sign in the type", ":000000-100", 0, 0, 0, K::malformed, F::notHex, -1, 0, {}},
        {"minus sign in a data byte",
         ":01000000-100",
         0,
         0,
         0,
         K::malformed,
         F::notHex,
         0,
         0,
         {untouchedByte}},
        {"minus sign in the checksum", ":00000000-1", 0, 0, 0, K::malformed, F::notHex, 0, 0, {}},
        // "%2x" reads the "0" of "0x" as the count; the strict reading refuses the line.
        {"hexadecimal prefix in the count", ":0x00000000", 0, 0, 0, K::data, F::notHex, 0, 0, {}},
    };
    return cases;
}

TEST(HexRecord, DecodesTheTableOfLines) {
    for (const RecordCase& c : recordCases()) {
        SCOPED_TRACE(c.name);
        std::uint32_t address = untouchedAddress;
        int count = -1;
        std::array<std::uint8_t, hexDataSize> data{};
        data.fill(untouchedByte);
        const HexRecordInfo info = decodeHexRecord(c.line.c_str(), address, count, data.data());

        EXPECT_EQ(isEndRecord(c.line.c_str()), c.endRecord);
        EXPECT_EQ(address, c.address);
        EXPECT_EQ(count, c.count);
        EXPECT_EQ(info.kind, c.kind);
        EXPECT_EQ(info.fault, c.fault);
        EXPECT_EQ(info.type, c.type);
        EXPECT_EQ(info.base, c.base);
        EXPECT_EQ(std::vector<std::uint8_t>(data.begin(), data.begin() + c.data.size()), c.data);

        // parseHexRecord is the same decoding without the diagnostics.
        std::uint32_t parsedAddress = untouchedAddress;
        int parsedCount = -1;
        std::array<std::uint8_t, hexDataSize> parsedData{};
        parsedData.fill(untouchedByte);
        parseHexRecord(c.line.c_str(), parsedAddress, parsedCount, parsedData.data());
        EXPECT_EQ(parsedAddress, address);
        EXPECT_EQ(parsedCount, count);
        EXPECT_EQ(parsedData, data);
    }
}

TEST(HexRecord, AddressKeepsTheLastReadableField) {
    std::uint32_t address = 0;
    int count = 0;
    std::array<std::uint8_t, hexDataSize> data{};
    parseHexRecord(":04ABCD00DEADBEEF4C", address, count, data.data());
    ASSERT_EQ(address, 0xABCDU);
    parseHexRecord(":10ZZZZ00", address, count, data.data()); // address unreadable
    EXPECT_EQ(address, 0xABCDU);
    EXPECT_EQ(count, 0);
    parseHexRecord(":101234", address, count, data.data()); // address read, type missing
    EXPECT_EQ(address, 0x1234U);
    EXPECT_EQ(count, 0);
}

// The largest count a record can declare, on a line longer than the reader's buffer: the
// data buffer of hexDataSize bytes holds every byte, and nothing is written beyond it.
TEST(HexRecord, LargestCountFillsTheDataBufferExactly) {
    std::string line = ":FF000000";
    unsigned sum = 0xFF;
    for (unsigned i = 0; i < hexDataSize; ++i) {
        constexpr const char* digits = "0123456789ABCDEF";
        line += digits[i >> 4];
        line += digits[i & 0xF];
        sum += i;
    }
    const unsigned checksum = (0x100 - (sum & 0xFF)) & 0xFF;
    line += "0123456789ABCDEF"[checksum >> 4];
    line += "0123456789ABCDEF"[checksum & 0xF];

    // Exactly hexDataSize bytes on the heap, so a sanitizer build catches any overrun.
    auto data = std::make_unique<std::uint8_t[]>(hexDataSize);
    std::uint32_t address = 1;
    int count = 0;
    const HexRecordInfo info = decodeHexRecord(line.c_str(), address, count, data.get());
    EXPECT_EQ(count, 255);
    EXPECT_EQ(info.fault, HexFault::none);
    EXPECT_EQ(data[0], 0);
    EXPECT_EQ(data[hexDataSize - 1], 254);

    // Cut to the reader's buffer, the same record is too short and yields nothing.
    line.resize(hexLineSize - 1);
    decodeHexRecord(line.c_str(), address, count, data.get());
    EXPECT_EQ(count, 0);
}

// Lines stored with no room after their zero: a read past it is a sanitizer finding.
TEST(HexRecord, ShortLinesAreNotReadPastTheirEnd) {
    const std::string full = workedRecord;
    for (std::size_t length = 0; length <= full.size(); ++length) {
        SCOPED_TRACE(length);
        auto line = std::make_unique<char[]>(length + 1);
        std::memcpy(line.get(), full.data(), length);
        line[length] = '\0';
        std::uint32_t address = 0;
        int count = -1;
        std::array<std::uint8_t, hexDataSize> data{};
        const HexRecordInfo info = decodeHexRecord(line.get(), address, count, data.data());
        EXPECT_EQ(count, length == full.size() ? 16 : 0);
        EXPECT_EQ(info.fault, length == full.size() ? HexFault::none : HexFault::tooShort);
    }
}

TEST(HexRecord, EveryFaultHasAText) {
    EXPECT_STREQ(describeHexFault(HexFault::badChecksum), "checksum error");
    EXPECT_STREQ(describeHexFault(HexFault::notHex), "not hexadecimal");
    EXPECT_STREQ(describeHexFault(HexFault::tooShort), "line too short");
    EXPECT_STREQ(describeHexFault(HexFault::tooLong), "line too long");
}

} // namespace
} // namespace sorbel
