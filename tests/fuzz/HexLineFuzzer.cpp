// Fuzzes the record decoder with arbitrary lines. The line is copied into a heap block of
// exactly its length plus the terminating zero, and the data buffer is exactly hexDataSize
// bytes, so any read past the zero or write past the data is an AddressSanitizer finding.
// Besides, the answers must agree with each other and with a strict reading of the line.
#include "loader/HexFile.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {

using namespace sorbel;

constexpr std::uint32_t untouchedAddress = 0xA5A5A5A5;

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

int hexValue(char c) {
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

// A well-formed record: any mark, then only hexadecimal digits, exactly as many as the
// count asks for, a checksum that sums to 0, and two bytes for the address records.
bool wellFormed(const char* line, std::size_t length) {
    if (length < 11 || length % 2 == 0) {
        return false;
    }
    unsigned sum = 0;
    for (std::size_t i = 1; i < length; i += 2) {
        const int high = hexValue(line[i]);
        const int low = hexValue(line[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        sum += static_cast<unsigned>(high * 16 + low);
    }
    const std::size_t count = static_cast<std::size_t>(hexValue(line[1]) * 16 + hexValue(line[2]));
    const int type = hexValue(line[7]) * 16 + hexValue(line[8]);
    if (length != 11 + 2 * count || (sum & 0xFF) != 0) {
        return false;
    }
    return (type != 2 && type != 4) || count == 2;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const void* zero = std::memchr(bytes, 0, size);
    const std::size_t length =
        zero != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - bytes)
                        : size;
    auto line = std::make_unique<char[]>(length + 1);
    std::memcpy(line.get(), bytes, length);
    line[length] = '\0';

    auto data = std::make_unique<std::uint8_t[]>(hexDataSize);
    std::uint32_t address = untouchedAddress;
    int count = -1;
    const HexRecordInfo info = decodeHexRecord(line.get(), address, count, data.get());

    auto parsedData = std::make_unique<std::uint8_t[]>(hexDataSize);
    std::memcpy(parsedData.get(), data.get(), hexDataSize);
    std::uint32_t parsedAddress = untouchedAddress;
    int parsedCount = -1;
    parseHexRecord(line.get(), parsedAddress, parsedCount, parsedData.get());
    const int end = isEndRecord(line.get());

    check(count >= 0 && count <= 255);
    check(count == 0 || info.kind == HexRecordKind::data);
    check(parsedAddress == address && parsedCount == count);
    check(std::memcmp(parsedData.get(), data.get(), static_cast<std::size_t>(count)) == 0);
    check(address == untouchedAddress || address <= 0xFFFF);
    check(info.type >= -1 && info.type <= 0xFF);
    check(end == 0 || end == 1);
    check((end == 1) == (info.kind == HexRecordKind::endRecord));
    check(info.kind != HexRecordKind::malformed || info.fault != HexFault::none);
    check(info.base == 0 || info.type == 2 || info.type == 4);
    check((info.fault == HexFault::none) == wellFormed(line.get(), length));
    if (info.fault == HexFault::none && info.kind == HexRecordKind::data) {
        check(static_cast<std::size_t>(count) == (length - 11) / 2);
    }
    check(std::strlen(describeHexFault(info.fault)) < 40);
    return 0;
}
