// The programming job, end to end: Start on the worker, the simulated target on a
// pseudo-terminal, and what the operator and the target see.
#include "WorkerFixture.h"

#include "loader/ProgrammingJob.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>

namespace sorbel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

const std::vector<std::string> completeLines = {"Download Complete.",
                                                "    Click Run to run program."};
const std::vector<std::string> flashErrorLines = {"Flash error.",
                                                  "    Check setup and try downloading again."};
const std::string idLine = "QZKV5160  V3Y received.";

// "{N}" in a line stands for the byte estimate.
std::vector<std::string> withEstimate(std::vector<std::string> lines, const std::string& n) {
    for (std::string& line : lines)
        if (auto at = line.find("{N}"); at != std::string::npos)
            line.replace(at, 3, n);
    return lines;
}

class JobTest : public WorkerFixture {
protected:
    // What a connection that reached the job shows: the ready lines, the identification,
    // the job's own lines, then its result.
    std::vector<std::string> transcript(const std::vector<std::string>& middle,
                                        const std::vector<std::string>& result,
                                        const std::string& estimate = "") {
        std::vector<std::string> lines = readyLines();
        lines.push_back(idLine);
        for (const std::string& line : withEstimate(middle, estimate))
            lines.push_back(line);
        lines.insert(lines.end(), result.begin(), result.end());
        return lines;
    }
};

// Three records: two in page 0, one in page 1.
const std::vector<Record> threeRecords = {
    {0x0000, pattern(16, 1)}, {0x0010, pattern(16, 2)}, {0x0200, pattern(8, 3)}};

const std::vector<Record> oneRecordFile = {{0x0000, pattern(16, 1)}};

enum class FlashAfter { erased, image };

struct OptionCase {
    const char* name;
    bool massErase, program, verify;
    bool preload; // the image is already in flash (for a verify without a write)
    std::vector<std::string> middle;
    std::vector<std::string> packets;
    std::vector<int> positions;
    bool complete;
    std::vector<std::string> messages;
    FlashAfter flash;
};
void PrintTo(const OptionCase& c, std::ostream* out) {
    *out << c.name;
}

class OptionsTest : public JobTest, public ::testing::WithParamInterface<OptionCase> {};

TEST_P(OptionsTest, RunsTheStepsTheOptionsAskFor) {
    const OptionCase& c = GetParam();
    startTarget();
    if (c.preload)
        target_->setFlash(0, flashImage(threeRecords));
    const std::string path = useFile("sample.hex", hexText(threeRecords));
    setOptions(c.massErase, c.program, c.verify);

    download();

    const std::string n = estimateOf(path);
    EXPECT_EQ(lines(), transcript(c.middle, c.complete ? completeLines : flashErrorLines, n));
    EXPECT_EQ(packets(), c.packets);
    EXPECT_EQ(host_.positions(), c.positions);
    EXPECT_EQ(host_.messages(), c.messages);
    EXPECT_EQ(host_.buttons(), connectionButtons());
    const auto passes = (c.program ? 1 : 0) + (c.verify ? 1 : 0);
    EXPECT_EQ(host_.ranges(), std::vector<int>(passes, std::stoi(n)));
    EXPECT_EQ(userFlash(), c.flash == FlashAfter::image ? userImage(threeRecords) : userImage({}));
}

const std::vector<std::string> threeWrites = {"W0000x16", "W0010x16", "W0200x8"};
const std::vector<std::string> threeVerifies = {"V0000x16", "V0010x16", "V0200x8"};

std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    EachCombination, OptionsTest,
    ::testing::Values(
        OptionCase{"none", false, false, false, false, {}, {}, {0}, true, {}, FlashAfter::erased},
        OptionCase{"massErase",
                   true,
                   false,
                   false,
                   false,
                   {"Mass Erasing "},
                   {"E0000 mass"},
                   {0},
                   true,
                   {},
                   FlashAfter::erased},
        OptionCase{"program",
                   false,
                   true,
                   false,
                   false,
                   {"Erasing 2 pages of 512 bytes each.", "Downloading ... {N} bytes"},
                   concat({{"E0000 page", "E0200 page"}, threeWrites}),
                   {16, 32, 48, 0},
                   true,
                   {},
                   FlashAfter::image},
        OptionCase{"verify",
                   false,
                   false,
                   true,
                   true,
                   {"Verifying ... {N} bytes"},
                   threeVerifies,
                   {16, 32, 48, 0},
                   true,
                   {},
                   FlashAfter::image},
        OptionCase{"massEraseProgram",
                   true,
                   true,
                   false,
                   false,
                   {"Mass Erasing ", "Downloading ... {N} bytes"},
                   concat({{"E0000 mass", "E0200 page"}, threeWrites}),
                   {16, 32, 48, 0},
                   true,
                   {},
                   FlashAfter::image},
        // The mass erase wipes what verify then looks for: the first record fails.
        OptionCase{"massEraseVerify",
                   true,
                   false,
                   true,
                   true,
                   {"Mass Erasing ", "Verifying ... {N} bytes"},
                   concat({{"E0000 mass"}, std::vector<std::string>(10, "V0000x16")}),
                   {16, 0},
                   false,
                   {"Error at 0x0 - 0x10 \n Verify aborted."},
                   FlashAfter::erased},
        OptionCase{"programVerify",
                   false,
                   true,
                   true,
                   false,
                   {"Erasing 2 pages of 512 bytes each.", "Downloading ... {N} bytes",
                    "Verifying ... {N} bytes"},
                   concat({{"E0000 page", "E0200 page"}, threeWrites, threeVerifies}),
                   {16, 32, 48, 16, 32, 48, 0},
                   true,
                   {},
                   FlashAfter::image},
        OptionCase{"all",
                   true,
                   true,
                   true,
                   false,
                   {"Mass Erasing ", "Downloading ... {N} bytes", "Verifying ... {N} bytes"},
                   concat({{"E0000 mass", "E0200 page"}, threeWrites, threeVerifies}),
                   {16, 32, 48, 16, 32, 48, 0},
                   true,
                   {},
                   FlashAfter::image}),
    [](const auto& info) { return std::string(info.param.name); });

// An option is on only when its text is exactly "Yes".
TEST_F(JobTest, OptionTextsOtherThanExactlyYesAreOff) {
    startTarget();
    useFile("sample.hex", hexText(threeRecords));
    setOptionTexts("yes", "Yes ", "YES");

    download();

    EXPECT_EQ(lines(), transcript({}, completeLines));
    EXPECT_THAT(packets(), IsEmpty());
}

// Mass erase then only the highest marked page: records start in pages 0, 5 and 17.
TEST_F(JobTest, MassEraseErasesOnlyTheHighestMarkedPageAgain) {
    const std::vector<Record> records = {
        {0x0000, pattern(16, 1)}, {0x0A00, pattern(16, 2)}, {0x2200, pattern(16, 3)}};
    startTarget();
    const std::string path = useFile("pages.hex", hexText(records));
    setOptions(true, true, false);

    download();

    EXPECT_EQ(lines(), transcript({"Mass Erasing ", "Downloading ... {N} bytes"}, completeLines,
                                  estimateOf(path)));
    EXPECT_THAT(packets(),
                ElementsAre("E0000 mass", "E2200 page", "W0000x16", "W0A00x16", "W2200x16"));
    EXPECT_EQ(userFlash(), userImage(records));
}

// A file with no data at all: the mass erase is all, no page erase follows it.
TEST_F(JobTest, MassEraseWithNoMarkedPageErasesNoPage) {
    startTarget();
    const std::string path =
        useFile("empty.hex", hexLine(5, 0, {0, 0, 0x01, 0x00}) + "\n:00000001FF\n");
    setOptions(true, true, false);

    download();

    EXPECT_EQ(lines(), transcript({"Mass Erasing ", "Downloading ... {N} bytes"}, completeLines,
                                  estimateOf(path)));
    EXPECT_THAT(packets(), ElementsAre("E0000 mass"));
    EXPECT_THAT(host_.positions(), ElementsAre(0));
}

struct AddressCase {
    const char* name;
    int count;
    bool accepted;
};
void PrintTo(const AddressCase& c, std::ostream* out) {
    *out << c.name;
}

class AddressTest : public JobTest, public ::testing::WithParamInterface<AddressCase> {};

// The last byte a record may cover is 0xF7FE.
TEST_P(AddressTest, PlanPassRejectsARecordThatReaches0xF7FF) {
    const AddressCase& c = GetParam();
    const std::vector<Record> records = {{0x0000, pattern(16, 1)}, {0xF7F0, pattern(c.count, 2)}};
    startTarget();
    const std::string path = useFile("top.hex", hexText(records));
    setOptions(false, true, true);

    download();

    if (c.accepted) {
        EXPECT_EQ(lines(), transcript({"Erasing 2 pages of 512 bytes each.",
                                       "Downloading ... {N} bytes", "Verifying ... {N} bytes"},
                                      completeLines, estimateOf(path)));
        EXPECT_THAT(host_.messages(), IsEmpty());
        EXPECT_EQ(userFlash(), userImage(records));
    } else {
        EXPECT_EQ(lines(), transcript({}, flashErrorLines));
        EXPECT_THAT(host_.messages(),
                    ElementsAre("Wrong memory address 0xf7f0 - 0xf800 \n Erase aborted."));
        EXPECT_THAT(packets(), IsEmpty());
    }
    EXPECT_EQ(host_.buttons(), connectionButtons());
}

INSTANTIATE_TEST_SUITE_P(Bound, AddressTest,
                         ::testing::Values(AddressCase{"sixteenBytes", 16, false},
                                           AddressCase{"fifteenBytes", 15, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The file is replaced between the plan pass and the write pass: the write pass opens a file
// other than the one the plan was made from, and writes nothing of it.
TEST_F(JobTest, WritePassRefusesAFileReplacedAfterThePlan) {
    const std::vector<Record> first = {{0x0000, pattern(16, 1)}};
    startTarget();
    useFile("grows.hex", hexText(first));
    host_.onLine = [&](const std::string& line) {
        if (line.starts_with("Erasing "))
            writeFile("grows.hex", hexText({first[0], {0xF7F0, pattern(16, 2)}}));
    };
    setOptions(false, true, true);

    download();

    EXPECT_EQ(lines(), transcript({"Erasing 1 pages of 512 bytes each."}, flashErrorLines, ""));
    EXPECT_THAT(host_.messages(),
                ElementsAre("grows.hex changed during the download \n Download aborted."));
    EXPECT_THAT(packets(), ElementsAre("E0000 page"));
    EXPECT_EQ(userFlash(), userImage({}));
}

// The file is rewritten where it is while the write pass reads it, past what the pass has
// read ahead: the write pass still tests each address, and the records before stay written.
TEST_F(JobTest, WritePassTestsAddressesOfAFileRewrittenDuringIt) {
    constexpr std::size_t total = 220, rewritten = 200, lineLength = 45;
    std::vector<Record> records;
    for (std::size_t n = 0; n < total; ++n)
        records.push_back({static_cast<std::uint32_t>(n * 16), pattern(16, n % 200)});
    startTarget();
    const std::string path = useFile("long.hex", hexText(records));
    const std::string estimate = estimateOf(path);
    host_.onLine = [&](const std::string& line) {
        if (line.starts_with("Downloading ")) {
            std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
            file.seekp(static_cast<std::streamoff>(rewritten * lineLength));
            file << hexLine(0, 0xF7F0, pattern(16, 2));
        }
    };
    setOptions(false, true, false);

    download();

    EXPECT_EQ(lines(),
              transcript({"Erasing 7 pages of 512 bytes each.", "Downloading ... {N} bytes"},
                         flashErrorLines, estimate));
    EXPECT_THAT(host_.messages(),
                ElementsAre("Wrong memory address 0xf7f0 - 0xf800 \n Download aborted."));
    const auto sent = packets();
    EXPECT_EQ(std::count_if(sent.begin(), sent.end(),
                            [](const std::string& p) { return p.starts_with("W"); }),
              static_cast<long>(rewritten));
    EXPECT_EQ(userFlash(), userImage({records.begin(), records.begin() + rewritten}));
}

// The third write is never acknowledged: the first two stay written, no verify follows, and
// the next job starts afresh and completes.
TEST_F(JobTest, WriteFailureAtTheThirdRecordThenAJobAfterIt) {
    const std::vector<Record> records = {{0x0000, pattern(16, 1)},
                                         {0x0010, pattern(16, 2)},
                                         {0x0020, pattern(16, 3)},
                                         {0x0030, pattern(16, 4)}};
    sim::TargetOptions options;
    for (int n = 4; n < 14; ++n) // page erase is packet 1, the third write packet 4
        options.nakOn.insert(n);
    startTarget(options);
    setBaud("9600");
    const std::string path = useFile("sample.hex", hexText(records));
    const std::string n = estimateOf(path);
    setOptions(false, true, true);

    download();

    EXPECT_EQ(lines(),
              transcript({"Erasing 1 pages of 512 bytes each.", "Downloading ... {N} bytes"},
                         flashErrorLines, n));
    EXPECT_THAT(host_.messages(), ElementsAre("Error at 0x20 - 0x30 \n Download aborted."));
    EXPECT_THAT(host_.positions(), ElementsAre(16, 32, 48, 0));
    auto expected =
        concat({{"E0000 page", "W0000x16", "W0010x16"}, std::vector<std::string>(10, "W0020x16")});
    EXPECT_EQ(packets(), expected);
    EXPECT_EQ(userFlash(), userImage({records[0], records[1]}));
    EXPECT_EQ(host_.buttons(), connectionButtons());

    // The next Start: a job of its own, in full.
    const auto before = lines().size();
    download(2);
    auto second = lines();
    second.erase(second.begin(), second.begin() + static_cast<long>(before));
    EXPECT_EQ(second, transcript({"Erasing 1 pages of 512 bytes each.", "Downloading ... {N} bytes",
                                  "Verifying ... {N} bytes"},
                                 completeLines, n));
    EXPECT_EQ(userFlash(), userImage(records));
    EXPECT_EQ(host_.messages().size(), 1U);
}

// The flash changes under the target after the write pass: verify finds it.
TEST_F(JobTest, VerifyFailureNamesTheRecord) {
    startTarget();
    const std::string path = useFile("sample.hex", hexText(threeRecords));
    host_.onLine = [&](const std::string& line) {
        if (line.starts_with("Verifying "))
            target_->setFlash(0x0010, {0x00});
    };
    setOptions(false, true, true);

    download();

    EXPECT_EQ(lines(), transcript({"Erasing 2 pages of 512 bytes each.",
                                   "Downloading ... {N} bytes", "Verifying ... {N} bytes"},
                                  flashErrorLines, estimateOf(path)));
    EXPECT_THAT(host_.messages(), ElementsAre("Error at 0x10 - 0x20 \n Verify aborted."));
    EXPECT_EQ(packets(), concat({{"E0000 page", "E0200 page"},
                                 threeWrites,
                                 {"V0000x16"},
                                 std::vector<std::string>(10, "V0010x16")}));
    EXPECT_THAT(host_.positions(), ElementsAre(16, 32, 48, 16, 32, 0));
}

TEST_F(JobTest, MissingFileShowsFileOpenErrorAndSendsNothing) {
    startTarget();
    host_.setDownloadPath(dir_ + "/absent.hex");
    setOptions(true, true, true);

    download();

    EXPECT_EQ(lines(), transcript({}, {}));
    EXPECT_THAT(host_.messages(), ElementsAre("File Open Error"));
    EXPECT_THAT(packets(), IsEmpty());
    EXPECT_EQ(host_.buttons(), connectionButtons());
    EXPECT_THAT(host_.positions(), ElementsAre(0));
}

struct FileCase {
    const char* name;
    std::string text;
    std::string message; // empty: the file is accepted
};
void PrintTo(const FileCase& c, std::ostream* out) {
    *out << c.name;
}

class FileCheckTest : public JobTest, public ::testing::WithParamInterface<FileCase> {};

// The whole file is checked before the first command: a fault that the passes would skip
// without a word ends the job before anything is erased.
TEST_P(FileCheckTest, RefusesAFaultyFileBeforeAnyCommand) {
    const FileCase& c = GetParam();
    startTarget();
    const std::string path = useFile("sample.hex", c.text);
    setOptions(true, true, true);

    download();

    if (c.message.empty()) {
        EXPECT_THAT(host_.messages(), IsEmpty());
        EXPECT_EQ(lines().back(), completeLines.back());
        EXPECT_EQ(userFlash(), userImage({{0x0000, pattern(16, 1)}}));
    } else {
        EXPECT_THAT(host_.messages(), ElementsAre(c.message));
        EXPECT_EQ(lines(), transcript({}, flashErrorLines));
        EXPECT_THAT(packets(), IsEmpty());
        EXPECT_EQ(host_.buttons(), connectionButtons());
    }
}

const std::string goodRecord = hexLine(0, 0x0000, pattern(16, 1));
const std::string badChecksum = [] {
    std::string line = hexLine(0, 0x0010, pattern(16, 2));
    line.back() = line.back() == '0' ? '1' : '0';
    return line;
}();

INSTANTIATE_TEST_SUITE_P(
    Faults, FileCheckTest,
    ::testing::Values(
        FileCase{"badChecksum", goodRecord + "\n\n" + badChecksum + "\n:00000001FF\n",
                 "sample.hex line 3: checksum error"},
        FileCase{"noEndRecord", goodRecord + "\n" + goodRecord + "\n",
                 "sample.hex line 2: the file ends without an end record :00000001FF"},
        FileCase{"lowerCaseEndRecord", goodRecord + "\n:00000001ff\n",
                 "sample.hex line 2: the file ends without an end record :00000001FF"},
        FileCase{"linearBase", hexLine(4, 0, {0x00, 0x01}) + "\n" + goodRecord + "\n:00000001FF\n",
                 "sample.hex line 1: address base 0x10000 is beyond the 64 KiB the loader "
                 "addresses"},
        FileCase{"segmentBase", goodRecord + "\n" + hexLine(2, 0, {0x10, 0x00}) + "\n:00000001FF\n",
                 "sample.hex line 2: address base 0x10000 is beyond the 64 KiB the loader "
                 "addresses"},
        FileCase{"notHex", goodRecord + "\n:10001000ZZ\n:00000001FF\n",
                 "sample.hex line 2: not hexadecimal"},
        FileCase{"overlongWord", goodRecord + "\n:" + std::string(600, '0') + "\n:00000001FF\n",
                 "sample.hex line 2: line too long"},
        // Accepted: a base of 0 and a start address record are skipped as before, and
        // whatever follows the end record is not read.
        FileCase{"zeroBaseAndStartRecord",
                 hexLine(4, 0, {0, 0}) + "\n" + goodRecord + "\n" + hexLine(5, 0, {0, 0, 1, 0}) +
                     "\n:00000001FF\n\x1a",
                 ""}),
    [](const auto& info) { return std::string(info.param.name); });

// A record that runs on into the next page: both pages are erased, so the bytes that land
// in the second page are written into erased flash.
TEST_F(JobTest, RecordAcrossAPageBoundaryErasesBothPages) {
    const std::vector<Record> records = {{0x01F8, pattern(16, 1)}};
    startTarget();
    target_->setFlash(0x0200, std::vector<std::uint8_t>(512, 0x00)); // old program in page 1
    const std::string path = useFile("straddle.hex", hexText(records));
    setOptions(false, true, true);

    download();

    EXPECT_EQ(lines(), transcript({"Erasing 2 pages of 512 bytes each.",
                                   "Downloading ... {N} bytes", "Verifying ... {N} bytes"},
                                  completeLines, estimateOf(path)));
    EXPECT_THAT(packets(), ElementsAre("E0000 page", "E0200 page", "W01F8x16", "V01F8x16"));
    EXPECT_EQ(userFlash(), userImage(records));
}

// 200 data bytes: two commands of 128 and 72 bytes at consecutive addresses, in write and
// verify, each moving the bar.
TEST_F(JobTest, LongRecordGoesOutAsSeveralCommands) {
    const std::vector<Record> records = {{0x0100, pattern(200, 7)}, {0x0300, pattern(4, 8)}};
    startTarget();
    const std::string path = useFile("long.hex", hexText(records));
    const std::string estimate = estimateOf(path);
    setOptions(false, true, true);

    download();

    EXPECT_EQ(lines(), transcript({"Erasing 2 pages of 512 bytes each.",
                                   "Downloading ... {N} bytes", "Verifying ... {N} bytes"},
                                  completeLines, estimateOf(path)));
    EXPECT_THAT(packets(), ElementsAre("E0000 page", "E0200 page", "W0100x128", "W0180x72",
                                       "W0300x4", "V0100x128", "V0180x72", "V0300x4"));
    EXPECT_THAT(host_.positions(), ElementsAre(16, 32, 48, 16, 32, 48, 0));
    EXPECT_EQ(userFlash(), userImage(records));
}

// A file chosen while a job runs applies to the next job, not to the later passes.
TEST_F(JobTest, PathIsReadOnceAtTheStartOfTheJob) {
    const std::vector<Record> records = {{0x0000, pattern(16, 1)}};
    startTarget();
    const std::string path = useFile("first.hex", hexText(records));
    const std::string other = writeFile("other.hex", hexText({{0x0400, pattern(16, 9)}}));
    host_.onLine = [&](const std::string& line) {
        if (line.starts_with("Erasing "))
            host_.setDownloadPath(other);
    };
    setOptions(false, true, true);

    download();

    EXPECT_EQ(lines(), transcript({"Erasing 1 pages of 512 bytes each.",
                                   "Downloading ... {N} bytes", "Verifying ... {N} bytes"},
                                  completeLines, estimateOf(path)));
    EXPECT_EQ(userFlash(), userImage(records));
}

// The file goes away after the check: the write pass cannot open it and the job fails.
TEST_F(JobTest, PassWhoseFileVanishedEndsTheJobAsFailed) {
    startTarget();
    const std::string path = useFile("sample.hex", hexText(threeRecords));
    const std::string n = estimateOf(path);
    host_.onLine = [&](const std::string& line) {
        if (line.starts_with("Erasing "))
            std::filesystem::remove(path);
    };
    setOptions(false, true, true);

    download();

    EXPECT_EQ(lines(), transcript({"Erasing 2 pages of 512 bytes each."}, flashErrorLines, n));
    EXPECT_THAT(host_.messages(), ElementsAre("File Open Error"));
    EXPECT_THAT(packets(), ElementsAre("E0000 page", "E0200 page"));
}

// An empty record list: the erase line says 0 and nothing is sent.
TEST_F(JobTest, FileWithOnlyTheEndRecordSendsNothing) {
    startTarget();
    const std::string path = useFile("end.hex", ":00000001FF\n");
    setOptions(false, true, false);

    download();

    EXPECT_EQ(lines(),
              transcript({"Erasing 0 pages of 512 bytes each.", "Downloading ... {N} bytes"},
                         completeLines, estimateOf(path)));
    EXPECT_THAT(packets(), IsEmpty());
}

// The estimate comes from the file's size (what follows the end record counts too, though it
// is never read) and is shown in full; the host keeps the bar's low 16 bits itself.
TEST_F(JobTest, EstimateComesFromTheFileSize) {
    startTarget();
    std::string text = hexText(oneRecordFile);
    text.resize(200000, ' ');
    useFile("big.hex", text);
    setOptions(false, true, false);

    download();

    EXPECT_EQ(lines(),
              transcript({"Erasing 1 pages of 512 bytes each.", "Downloading ... 71111 bytes"},
                         completeLines));
    EXPECT_THAT(host_.ranges(), ElementsAre(71111));
}

} // namespace
} // namespace sorbel::test
