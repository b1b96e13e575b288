// Fuzzes the whole-file reader: the input becomes a file (in memory), every word is read
// into a line buffer of exactly hexLineSize bytes on the heap and decoded. The words, their
// line numbers and the overlong flag must match a plain split of the input at white space,
// the reading must end after as many calls as there are words, and the estimate must be
// size * 16 / 45.
#include "loader/HexFile.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace sorbel;

int memoryFile = -1;
std::string memoryPath;

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

bool isBlank(std::uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

struct Word {
    std::string text;
    long line;
};

std::vector<Word> splitWords(const std::uint8_t* bytes, std::size_t size) {
    std::vector<Word> words;
    long line = 1;
    for (std::size_t i = 0; i < size;) {
        if (isBlank(bytes[i])) {
            // LF, CR LF and a lone CR each end one line.
            if (bytes[i] == '\n' || (bytes[i] == '\r' && (i + 1 >= size || bytes[i + 1] != '\n'))) {
                ++line;
            }
            ++i;
            continue;
        }
        const std::size_t start = i;
        while (i < size && !isBlank(bytes[i])) {
            ++i;
        }
        words.push_back(
            {std::string(reinterpret_cast<const char*>(bytes + start), i - start), line});
    }
    return words;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    memoryFile = ::memfd_create("hex_file", MFD_CLOEXEC);
    check(memoryFile >= 0);
    memoryPath = "/proc/self/fd/" + std::to_string(memoryFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    check(::ftruncate(memoryFile, 0) == 0);
    check(::pwrite(memoryFile, bytes, size, 0) == static_cast<ssize_t>(size));

    std::int32_t estimate = -1;
    check(estimateDataBytes(memoryPath, estimate) == 1);
    check(estimate == static_cast<std::int32_t>(size * 16 / 45));

    const std::vector<Word> expected = splitWords(bytes, size);
    HexFile file = openHexFile(memoryPath);
    check(!file.failed());
    auto line = std::make_unique<char[]>(hexLineSize);
    auto data = std::make_unique<std::uint8_t[]>(hexDataSize);
    std::size_t index = 0;
    while (readHexLine(file, line.get()) == 1) {
        check(index < expected.size());
        const Word& word = expected[index++];
        const bool overlong = word.text.size() > hexLineSize - 1;
        const std::size_t kept = overlong ? hexLineSize - 1 : word.text.size();
        check(file.lastWordOverlong() == overlong);
        check(std::memcmp(line.get(), word.text.data(), kept) == 0 && line[kept] == '\0');
        check(file.lineNumber() == word.line);

        std::uint32_t address = 0;
        int count = -1;
        const HexRecordInfo info = decodeHexRecord(line.get(), address, count, data.get());
        check(count >= 0 && count <= 255 && (count == 0 || info.kind == HexRecordKind::data));
        check(isEndRecord(line.get()) == (info.kind == HexRecordKind::endRecord ? 1 : 0));
    }
    check(index == expected.size());
    check(line[0] == '\0' && file.failed());
    check(readHexLine(file, line.get()) == 0);
    closeHexFile(file);
    return 0;
}
