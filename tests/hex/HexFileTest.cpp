// Reading HEX files as words: line ends, blanks, overlong words, failed files, the size
// estimate, and a file written by a real toolchain read back to its byte image.
#include "loader/HexFile.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace sorbel {
namespace {

namespace fs = std::filesystem;

class HexFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "sorbel-hex-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string write(const std::string& name, const std::string& content) {
        const fs::path path = dir_ / name;
        std::ofstream out(path, std::ios::binary);
        out << content;
        return path.string();
    }

    fs::path dir_;
};

struct Word {
    std::string text;
    long line;
    bool operator==(const Word&) const = default;
};

void PrintTo(const Word& word, std::ostream* os) {
    *os << word.line << ":" << word.text;
}

// Every word of the file with the line it began on; checks that the end is sticky.
std::vector<Word> readWords(const std::string& path) {
    HexFile file = openHexFile(path);
    std::vector<Word> words;
    std::array<char, hexLineSize> line{};
    while (readHexLine(file, line.data()) == 1) {
        words.push_back({line.data(), file.lineNumber()});
    }
    EXPECT_STREQ(line.data(), "");
    EXPECT_TRUE(file.failed());
    line[0] = 'x';
    EXPECT_EQ(readHexLine(file, line.data()), 0);
    EXPECT_STREQ(line.data(), "");
    closeHexFile(file);
    return words;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

TEST_F(HexFileTest, WordsAndLineNumbersAreTheSameForEveryLineEnd) {
    // Blank lines, blanks around records, a record with a blank inside, a form feed and
    // vertical tab, and no line end after the last record.
    const std::string lf = "\n\n  :A  \n\t:B\n\n:C D\n\f\v:00000001FF\n:E";
    const std::vector<Word> expected = {{":A", 3}, {":B", 4},          {":C", 6},
                                        {"D", 6},  {":00000001FF", 7}, {":E", 8}};
    for (const char* ending : {"\n", "\r\n", "\r"}) {
        SCOPED_TRACE(testing::PrintToString(std::string(ending)));
        EXPECT_EQ(readWords(write("words.hex", replaceAll(lf, "\n", ending))), expected);
    }
}

TEST_F(HexFileTest, FilesWithoutWordsEndAtOnce) {
    for (const char* content : {"", " \r\n\t\n", "\n\n\n"}) {
        SCOPED_TRACE(testing::PrintToString(std::string(content)));
        EXPECT_TRUE(readWords(write("empty.hex", content)).empty());
    }
}

TEST_F(HexFileTest, OverlongWordIsConsumedWholeAndFlagged) {
    struct Case {
        std::size_t length;
        bool overlong;
    };
    for (const Case c : {Case{hexLineSize - 1, false}, Case{hexLineSize, true},
                         Case{hexLineSize + 1, true}, Case{5000, true}}) {
        SCOPED_TRACE(c.length);
        const std::string word = ":" + std::string(c.length - 1, '0');
        const std::string path = write("long.hex", word + "\r\n:00000001FF\r\n");

        constexpr std::size_t guard = 64;
        constexpr char guardByte = '#';
        std::array<char, hexLineSize + guard> buffer{};
        buffer.fill(guardByte);
        HexFile file = openHexFile(path);
        ASSERT_EQ(readHexLine(file, buffer.data()), 1);
        EXPECT_EQ(file.lastWordOverlong(), c.overlong);
        EXPECT_EQ(std::string(buffer.data()), word.substr(0, hexLineSize - 1));
        EXPECT_EQ(file.lineNumber(), 1);
        for (std::size_t i = hexLineSize; i < buffer.size(); ++i) {
            ASSERT_EQ(buffer[i], guardByte) << "written past the line buffer at " << i;
        }
        // The rest of the word is not taken for the next one.
        ASSERT_EQ(readHexLine(file, buffer.data()), 1);
        EXPECT_STREQ(buffer.data(), ":00000001FF");
        EXPECT_FALSE(file.lastWordOverlong());
        EXPECT_EQ(file.lineNumber(), 2);
        EXPECT_EQ(readHexLine(file, buffer.data()), 0);
    }
}

TEST_F(HexFileTest, UnreadableFileIsFailedAndReadsNothing) {
    const fs::path folder = dir_ / "folder.hex";
    fs::create_directory(folder);
    for (const fs::path& path : {dir_ / "missing.hex", folder}) {
        SCOPED_TRACE(path.string());
        HexFile file = openHexFile(path.string());
        EXPECT_TRUE(file.failed());
        std::array<char, hexLineSize> line{};
        line[0] = 'x';
        EXPECT_EQ(readHexLine(file, line.data()), 0);
        EXPECT_STREQ(line.data(), "");
        closeHexFile(file);
        closeHexFile(file);
    }
}

TEST_F(HexFileTest, MovedFileKeepsReadingAndClosedFileReadsNothing) {
    const std::string path = write("two.hex", ":0000000000\n:00000001FF\n");
    HexFile first = openHexFile(path);
    std::array<char, hexLineSize> line{};
    ASSERT_EQ(readHexLine(first, line.data()), 1);
    HexFile second = std::move(first);
    EXPECT_EQ(readHexLine(first, line.data()), 0);
    ASSERT_EQ(readHexLine(second, line.data()), 1);
    EXPECT_STREQ(line.data(), ":00000001FF");
    EXPECT_EQ(second.lineNumber(), 2);

    HexFile again = openHexFile(path);
    closeHexFile(again);
    EXPECT_TRUE(again.failed());
    EXPECT_EQ(readHexLine(again, line.data()), 0);
}

// A pass as the programming job makes it: words up to the end record, decoded one by one;
// what follows the end record is not read.
TEST_F(HexFileTest, PassStopsAtTheEndRecord) {
    const std::string path = write("pass.hex", ":020000040000FA\r\n"
                                               ":04ABCD00DEADBEEF4C\r\n"
                                               ":10000000000102030405060708090A0B0C0D0E0F77\r\n"
                                               ":00000001FF\r\n"
                                               ":0400000011223344\r\n");
    HexFile file = openHexFile(path);
    std::array<char, hexLineSize> line{};
    std::vector<std::pair<std::uint32_t, int>> records;
    std::vector<std::pair<long, HexFault>> faults;
    readHexLine(file, line.data());
    while (isEndRecord(line.data()) == 0) {
        std::uint32_t address = 0;
        int count = 0;
        std::array<std::uint8_t, hexDataSize> data{};
        const HexRecordInfo info = decodeHexRecord(line.data(), address, count, data.data());
        records.emplace_back(address, count);
        if (info.fault != HexFault::none) {
            faults.emplace_back(file.lineNumber(), info.fault);
        }
        if (readHexLine(file, line.data()) == 0) {
            break;
        }
    }
    EXPECT_EQ(isEndRecord(line.data()), 1);
    EXPECT_EQ(file.lineNumber(), 4);
    const std::vector<std::pair<std::uint32_t, int>> expectedRecords = {
        {0, 0}, {0xABCD, 4}, {0, 0}};
    EXPECT_EQ(records, expectedRecords);
    const std::vector<std::pair<long, HexFault>> expectedFaults = {{3, HexFault::badChecksum}};
    EXPECT_EQ(faults, expectedFaults);
}

TEST_F(HexFileTest, EstimateIsSixteenFortyFifthsOfTheSize) {
    struct Case {
        off_t size;
        std::int32_t estimate;
    };
    // 128 MiB times 16 no longer fits 32 bits; 4 GiB + 45 would lose its high bits if
    // only the low 32 bits of the size were taken; 8 GiB gives more than 32 bits hold.
    const std::vector<Case> cases = {{45, 16},
                                     {1000, 355},
                                     {0, 0},
                                     {off_t{128} << 20, 47721858},
                                     {(off_t{1} << 32) + 45, 1527099499},
                                     {off_t{8} << 30, 2147483647}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string path = write("sized.hex", "");
        // Sparse: no disk space is used for the large sizes.
        if (::truncate(path.c_str(), c.size) != 0) {
            GTEST_SKIP() << "cannot make a file of " << c.size << " bytes here";
        }
        std::int32_t estimate = -1;
        EXPECT_EQ(estimateDataBytes(path, estimate), 1);
        EXPECT_EQ(estimate, c.estimate);
    }
}

TEST_F(HexFileTest, EstimateOfMissingFileLeavesTheValue) {
    std::int32_t estimate = 1234;
    EXPECT_EQ(estimateDataBytes((dir_ / "missing.hex").string(), estimate), 0);
    EXPECT_EQ(estimate, 1234);
}

// srecord's srec_cat writes the file from a known image, with extended linear address
// records where the image crosses 64 KiB; reading it back must give the image.
TEST_F(HexFileTest, ToolchainFileReadsBackToItsImage) {
    if (std::system("command -v srec_cat >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "srec_cat (Debian package srecord) is not installed";
    }
    struct Case {
        std::uint32_t offset;
        std::size_t size;
    };
    for (const Case c : {Case{0x1000, 1000}, Case{0x1FFF0, 300}, Case{0, 1}}) {
        SCOPED_TRACE(c.offset);
        std::string image(c.size, '\0');
        std::uint32_t state = 12345 + c.offset;
        for (char& byte : image) {
            state = state * 1103515245U + 12345U;
            byte = static_cast<char>(state >> 16);
        }
        const std::string bin = write("image.bin", image);
        const std::string hex = (dir_ / "image.hex").string();
        const std::string command = "srec_cat '" + bin + "' -binary -offset " +
                                    std::to_string(c.offset) + " -o '" + hex + "' -intel";
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;

        HexFile file = openHexFile(hex);
        ASSERT_FALSE(file.failed());
        std::map<std::uint32_t, std::uint8_t> memory;
        std::uint32_t base = 0;
        bool ended = false;
        std::array<char, hexLineSize> line{};
        while (!ended && readHexLine(file, line.data()) == 1) {
            SCOPED_TRACE(line.data());
            std::uint32_t address = 0;
            int count = 0;
            std::array<std::uint8_t, hexDataSize> data{};
            const HexRecordInfo info = decodeHexRecord(line.data(), address, count, data.data());
            ASSERT_EQ(info.fault, HexFault::none);
            ended = info.kind == HexRecordKind::endRecord;
            if (info.type == 4) {
                base = info.base;
            }
            for (int i = 0; i < count; ++i) {
                memory[base + address + static_cast<std::uint32_t>(i)] = data[i];
            }
        }
        EXPECT_TRUE(ended);
        closeHexFile(file);

        ASSERT_EQ(memory.size(), image.size());
        EXPECT_EQ(memory.begin()->first, c.offset);
        std::string readBack;
        for (const auto& [address, byte] : memory) {
            readBack += static_cast<char>(byte);
        }
        EXPECT_EQ(readBack, image);
    }
}

} // namespace
} // namespace sorbel
