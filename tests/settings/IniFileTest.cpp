// The INI layer: what a read returns for the forms a settings file can hold, what a write
// leaves in the file, and how hostile files and values are handled.
#include "settings/IniFile.h"

#include "TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

namespace sorbel {
namespace {

using test::readText;
using test::TempFolder;
using test::writeText;

struct ReadCase {
    const char* name;
    std::string content;
    std::string expected; // "<fallback>" when the key counts as absent
};

const std::string fallback = "<fallback>";

class ProfileRead : public testing::TestWithParam<ReadCase> {};

TEST_P(ProfileRead, ReturnsTheValueAsTheProfileFunctionsDo) {
    TempFolder folder;
    const auto path = folder.file("s.ini");
    writeText(path, GetParam().content);
    EXPECT_EQ(readProfileString(path, "Sorbel", "Port", fallback), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ProfileRead,
    testing::Values(
        ReadCase{"Plain", "[Sorbel]\nPort=COM3\n", "COM3"},
        ReadCase{"NamesIgnoreCase", "[sORBEL]\nPORT=COM3\n", "COM3"},
        ReadCase{"BlanksAroundKeyAndValue", "[Sorbel]\n  Port \t=  COM3 \t\n", "COM3"},
        ReadCase{"BlanksInsideBrackets", "[ Sorbel ]\nPort=COM3\n", "COM3"},
        ReadCase{"DoubleQuotes", "[Sorbel]\nPort=\"COM3\"\n", "COM3"},
        ReadCase{"SingleQuotes", "[Sorbel]\nPort= 'COM3' \n", "COM3"},
        ReadCase{"QuotesKeepInnerBlanks", "[Sorbel]\nPort=\"  COM3 \"\n", "  COM3 "},
        ReadCase{"OnlyOnePairOfQuotes", "[Sorbel]\nPort=\"\"COM3\"\"\n", "\"COM3\""},
        ReadCase{"MismatchedQuotesKept", "[Sorbel]\nPort=\"COM3'\n", "\"COM3'"},
        ReadCase{"LoneQuoteKept", "[Sorbel]\nPort=\"\n", "\""},
        ReadCase{"EmptyValueIsEmpty", "[Sorbel]\nPort=\n", ""},
        ReadCase{"BlankValueIsEmpty", "[Sorbel]\nPort=   \n", ""},
        ReadCase{"EmptyQuotesAreEmpty", "[Sorbel]\nPort=\"\"\n", ""},
        ReadCase{"SemicolonAndHashInValueKept", "[Sorbel]\nPort=/dev/a;b #c\n", "/dev/a;b #c"},
        ReadCase{"EqualsInValueKept", "[Sorbel]\nPort=a=b\n", "a=b"},
        ReadCase{"CrLfEndings", "[Sorbel]\r\nPort=COM3\r\n", "COM3"},
        ReadCase{"ByteOrderMark", "\xEF\xBB\xBF[Sorbel]\nPort=COM3\n", "COM3"},
        ReadCase{"LastLineWithoutEnding", "[Sorbel]\nPort=COM3", "COM3"},
        ReadCase{"FirstOfTwoKeysCounts", "[Sorbel]\nPort=COM3\nport=COM4\n", "COM3"},
        ReadCase{"AbsentKey", "[Sorbel]\nBaud=9600\n", fallback},
        ReadCase{"AbsentSection", "[Other]\nPort=COM3\n", fallback},
        ReadCase{"KeyOfAnotherSection", "[Sorbel]\nBaud=1\n[Other]\nPort=COM3\n", fallback},
        ReadCase{"KeyBeforeAnySection", "Port=COM3\n[Sorbel]\n", fallback},
        ReadCase{"SemicolonComment", "[Sorbel]\n;Port=COM3\n", fallback},
        ReadCase{"HashComment", "[Sorbel]\n  # Port=COM3\n", fallback},
        ReadCase{"LineWithoutEquals", "[Sorbel]\nPort\n", fallback},
        ReadCase{"KeyWithBlankInside", "[Sorbel]\nPo rt=COM3\n", fallback},
        ReadCase{"BrokenHeaderStartsASection", "[Sorbel]\nBaud=1\n[Other\nPort=COM3\n", fallback},
        ReadCase{"OnlyFirstSectionOfTheName", "[Sorbel]\nBaud=1\n[Sorbel]\nPort=COM3\n", fallback},
        ReadCase{"EmptyFile", "", fallback},
        ReadCase{"ValueCutAt1023", "[Sorbel]\nPort=" + std::string(1100, 'x') + "\n",
                 std::string(1023, 'x')},
        ReadCase{"QuotesRemovedBeforeTheCut", "[Sorbel]\nPort=\"" + std::string(1100, 'x') + "\"\n",
                 std::string(1023, 'x')},
        ReadCase{"MegabyteValueCapped", "[Sorbel]\nPort=" + std::string(1 << 20, 'y') + "\n",
                 std::string(1023, 'y')},
        ReadCase{"NulByteEndsTheValue", std::string("[Sorbel]\nPort=CO\0M3\n", 20), "CO"},
        ReadCase{"NulBytesElsewhere", std::string("\0\0\n[Sorbel]\nPort=COM3\n\0", 24), "COM3"}),
    [](const testing::TestParamInfo<ReadCase>& info) { return info.param.name; });

TEST(ProfileReadFile, AbsentOrUnreadablePathGivesTheFallback) {
    TempFolder folder;
    EXPECT_EQ(readProfileString(folder.file("none.ini"), "Sorbel", "Port", "COM1"), "COM1");
    EXPECT_EQ(readProfileString(folder.file("none/deeper.ini"), "Sorbel", "Port", "COM1"), "COM1");
    EXPECT_EQ(readProfileString(folder.path(), "Sorbel", "Port", "COM1"), "COM1");
    EXPECT_FALSE(std::filesystem::exists(folder.file("none.ini"))); // reading creates nothing
}

TEST(ProfileReadFile, FifoAtThePathDoesNotBlock) {
    TempFolder folder;
    const auto path = folder.file("fifo.ini");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(readProfileString(path, "Sorbel", "Port", "COM1"), "COM1");
    EXPECT_FALSE(writeProfileString(path, "Sorbel", "Port", "COM3"));
}

struct WriteCase {
    const char* name;
    std::string before; // "<absent>": no file
    std::string key;
    std::string value;
    std::string after;
};

class ProfileWrite : public testing::TestWithParam<WriteCase> {};

TEST_P(ProfileWrite, ChangesOneLineAndKeepsTheRest) {
    TempFolder folder;
    const auto path = folder.file("s.ini");
    const auto& c = GetParam();
    if (c.before != "<absent>")
        writeText(path, c.before);
    ASSERT_TRUE(writeProfileString(path, "Sorbel", c.key, c.value));
    EXPECT_EQ(readText(path), c.after);
    EXPECT_EQ(readProfileString(path, "Sorbel", c.key, fallback), c.value.substr(0, 1023));
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ProfileWrite,
    testing::Values(
        WriteCase{"CreatesFileSectionAndKey", "<absent>", "Port", "COM3", "[Sorbel]\nPort=COM3\n"},
        WriteCase{"AddsSectionAfterOthers", "; mine\n[Other]\nA=1", "Port", "COM3",
                  "; mine\n[Other]\nA=1\n\n[Sorbel]\nPort=COM3\n"},
        WriteCase{"ReplacesValueKeepsEverythingElse",
                  "; top\n\n[Other]\nPort=keep\n[sorbel]\n  port = COM1 ; old\n#c\nBaud=9600\n",
                  "Port", "COM3",
                  "; top\n\n[Other]\nPort=keep\n[sorbel]\n  port=COM3\n#c\nBaud=9600\n"},
        WriteCase{"AddsKeyAfterTheSectionsLastKey",
                  "[Sorbel]\nBaud=9600\n\n; next one\n[Other]\nA=1\n", "Port", "COM3",
                  "[Sorbel]\nBaud=9600\nPort=COM3\n\n; next one\n[Other]\nA=1\n"},
        WriteCase{"AddsKeyUnderBareHeader", "[Sorbel]", "Port", "COM3", "[Sorbel]\nPort=COM3\n"},
        WriteCase{"KeepsCrLfEndings", "[Sorbel]\r\nBaud=9600\r\n", "Port", "COM3",
                  "[Sorbel]\r\nBaud=9600\r\nPort=COM3\r\n"},
        WriteCase{"LineWithoutEqualsIsLeftAlone", "[Sorbel]\nPort\n", "Port", "COM3",
                  "[Sorbel]\nPort=COM3\nPort\n"},
        WriteCase{"CommentedKeyIsLeftAlone", "[Sorbel]\n;Port=COM9\n", "Port", "COM3",
                  "[Sorbel]\nPort=COM3\n;Port=COM9\n"},
        WriteCase{"EmptyValue", "[Sorbel]\nPort=COM1\n", "Port", "", "[Sorbel]\nPort=\n"},
        WriteCase{"OddCharactersStoredAsTheyStand", "<absent>", "File", "/a b;c#d=e.hex",
                  "[Sorbel]\nFile=/a b;c#d=e.hex\n"},
        WriteCase{"LeadingBlanksQuoted", "<absent>", "File", "  a.hex",
                  "[Sorbel]\nFile=\"  a.hex\"\n"},
        WriteCase{"SurroundingQuotesQuoted", "<absent>", "File", "'a.hex'",
                  "[Sorbel]\nFile=\"'a.hex'\"\n"},
        WriteCase{"LongValueWrittenWhole", "<absent>", "File", std::string(1100, 'z'),
                  "[Sorbel]\nFile=" + std::string(1100, 'z') + "\n"}),
    [](const testing::TestParamInfo<WriteCase>& info) { return info.param.name; });

struct RefusedCase {
    const char* name;
    std::string section;
    std::string key;
    std::string value;
};

class ProfileWriteRefused : public testing::TestWithParam<RefusedCase> {};

// Text that would split the line or could not be read back as written never reaches the file.
TEST_P(ProfileWriteRefused, LeavesTheFileUntouched) {
    TempFolder folder;
    const auto path = folder.file("s.ini");
    const std::string before = "[Sorbel]\nPort=COM1\n";
    writeText(path, before);
    const auto& c = GetParam();
    EXPECT_FALSE(writeProfileString(path, c.section, c.key, c.value));
    EXPECT_EQ(readText(path), before);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ProfileWriteRefused,
    testing::Values(RefusedCase{"NewlineInValue", "Sorbel", "Port", "COM3\n[Evil]\nX=1"},
                    RefusedCase{"CarriageReturnInValue", "Sorbel", "Port", "COM3\r"},
                    RefusedCase{"NulInValue", "Sorbel", "Port", std::string("CO\0M3", 5)},
                    RefusedCase{"EmptyKey", "Sorbel", "", "COM3"},
                    RefusedCase{"EqualsInKey", "Sorbel", "Po=rt", "COM3"},
                    RefusedCase{"CommentKey", "Sorbel", ";Port", "COM3"},
                    RefusedCase{"BlankAroundKey", "Sorbel", " Port", "COM3"},
                    RefusedCase{"BracketInSection", "Sor]bel", "Port", "COM3"},
                    RefusedCase{"EmptySection", "", "Port", "COM3"}),
    [](const testing::TestParamInfo<RefusedCase>& info) { return info.param.name; });

TEST(ProfileWriteFile, HostileContentSurvivesAWriteOfAnotherKey) {
    TempFolder folder;
    const auto path = folder.file("s.ini");
    const std::string hostile = "[Sorbel]\nFile=" + std::string(1 << 20, 'q') + "\n" +
                                std::string("Junk=\0\0\x01\xff\n", 10);
    writeText(path, hostile);
    ASSERT_TRUE(writeProfileString(path, "Sorbel", "Port", "COM3"));
    EXPECT_EQ(readText(path), hostile + "Port=COM3\n");
}

TEST(ProfileWriteFile, KeepsTheFilesModeAndFollowsASymbolicLink) {
    TempFolder folder;
    const auto real = folder.file("real.ini");
    const auto link = folder.file("link.ini");
    writeText(real, "[Sorbel]\nPort=COM1\n");
    ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);

    ASSERT_TRUE(writeProfileString(link, "Sorbel", "Port", "COM3"));

    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(readText(real), "[Sorbel]\nPort=COM3\n");
    struct stat info {};
    ASSERT_EQ(::stat(real.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST(ProfileWriteFile, FailedWriteLeavesNothingBehind) {
    TempFolder folder;
    EXPECT_FALSE(writeProfileString(folder.file("missing/s.ini"), "Sorbel", "Port", "COM3"));
    EXPECT_FALSE(writeProfileString(folder.path(), "Sorbel", "Port", "COM3"));
    EXPECT_FALSE(writeProfileString("", "Sorbel", "Port", "COM3"));
    EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
}

TEST(ProfileWriteFile, ReadOnlyFolderKeepsTheOldFile) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes into read-only folders";
    TempFolder folder;
    const auto path = folder.file("s.ini");
    writeText(path, "[Sorbel]\nPort=COM1\n");
    ASSERT_EQ(::chmod(folder.path().c_str(), 0555), 0);
    EXPECT_FALSE(writeProfileString(path, "Sorbel", "Port", "COM3"));
    ::chmod(folder.path().c_str(), 0755);
    EXPECT_EQ(readText(path), "[Sorbel]\nPort=COM1\n");
}

} // namespace
} // namespace sorbel
