// The HEX file changing under a download: deleted, replaced, truncated or made unreadable
// after the job has checked it and before a later pass reads it again. Each change is made
// on the worker's own thread at an exact point of the job (the host call that comes between
// two passes), so the case is the same on every run. Whatever the change, the operator never
// sees "Download Complete." for a chip that does not hold a whole, erased-then-written file,
// and nothing hangs.
#include "FaultBench.h"

#include "loader/CommandPacket.h"
#include "loader/ProgrammingJob.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include <sys/stat.h>

namespace sorbel::faults {
namespace {

using ::testing::Contains;
using ::testing::Not;

enum class Point {
    beforePlan,   // after the check, before the plan pass (mass erase on: "Mass Erasing ")
    beforeWrite,  // after the plan pass, before the write pass ("Erasing 3 pages ...")
    beforeVerify, // before the last write command; the verify pass opens the file after it
    duringWrite,  // before the first write command: the write pass has its file open
};

// Records the replacement file holds: a page the original's plan never erased.
std::vector<Record> otherRecords() {
    return {{0x0A00, pattern(16, 9)}, {0x0A10, pattern(16, 10)}};
}

// The six records cut inside the second record, without the end record.
const std::string halfFile = hexText(sixRecords()).substr(0, 60);

// A file longer than the reader's stream buffer, so that the write pass reads its tail from
// the disk after it began: 220 records of 16 bytes in pages 0-6, 45 characters a line.
constexpr std::size_t longLines = 220;
constexpr std::size_t changedLine = 200; // from 0; at character 9000, past any read-ahead
constexpr std::size_t hexLineLength = 45;

std::vector<Record> longRecords() {
    std::vector<Record> records;
    for (std::size_t n = 0; n < longLines; ++n)
        records.push_back({static_cast<std::uint32_t>(n * 16), pattern(16, n % 200)});
    return records;
}

// Rewrites the file where it is (same file, same size): the line at changedLine now writes
// to 0x3000, a page the plan never erased.
void rewriteLineInPlace(const fs::path& path) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(changedLine * hexLineLength));
    file << hexLine(0, 0x3000, pattern(16, 7));
}

struct FileChange {
    const char* name;
    Point point;
    std::function<void(const fs::path&)> change;
    bool verify;
    std::string box; // first line of the first box; empty: any box
    int writes;      // write commands that reach the target (-1: any)
    int verifies;    // verify commands that reach the target (-1: any)
    std::vector<Record> (*records)() = sixRecords;
};

void PrintTo(const FileChange& c, std::ostream* out) {
    *out << c.name;
}

void removeFile(const fs::path& path) {
    ASSERT_TRUE(fs::remove(path));
}

void replaceWith(const fs::path& path, const std::string& text) {
    const fs::path temporary = path.string() + ".new";
    writeText(temporary, text);
    fs::rename(temporary, path);
}

// The first line of the box for a file that is not the one the check read.
const std::string changedBox = "job.hex changed during the download ";

class FileChanged : public ::testing::TestWithParam<FileChange> {};

TEST_P(FileChanged, JobNeverReportsAChipItDidNotProgramWhole) {
    const FileChange& c = GetParam();
    TempDir dir;
    const auto records = c.records();
    const fs::path hex = dir.path() / "job.hex";
    writeText(hex, hexText(records));

    auto target = startTarget();
    // The page the replacement file writes to holds old code: written without an erase,
    // it would not read back as the file.
    target->setFlash(0x0A00, std::vector<std::uint8_t>(512, 0x00));
    Bench bench(target->portPath());
    bench.setOptions(c.point == Point::beforePlan ? optionYes : optionNo, optionYes,
                     c.verify ? optionYes : optionNo);

    bool changed = false;
    const auto changeOnce = [&] {
        if (!changed) {
            changed = true;
            c.change(hex);
        }
    };
    OperatorHost& host = bench.host();
    host.onLine = [&](const std::string& line) {
        if ((c.point == Point::beforePlan && line == "Mass Erasing ") ||
            (c.point == Point::beforeWrite && line.starts_with("Erasing ")))
            changeOnce();
    };
    host.onPosition = [&](int position) {
        if ((c.point == Point::beforeVerify && position == progressStep * sixRecordsWrites) ||
            (c.point == Point::duringWrite && position == progressStep))
            changeOnce();
    };
    bench.pressStart(hex.string());

    ASSERT_TRUE(host.waitForButtonsBack(1)) << "the download never ended";
    EXPECT_TRUE(changed);
    const auto lines = host.lines();
    EXPECT_THAT(lines, Not(Contains("Download Complete.")));
    EXPECT_EQ(lastTwo(lines), flashErrorLines);
    const auto boxes = host.boxes();
    ASSERT_FALSE(boxes.empty());
    if (!c.box.empty()) {
        EXPECT_EQ(boxes.front(), c.box);
    }
    const auto packets = target->packets();
    // Nothing is written to a page that the checked file's plan did not erase.
    std::set<std::uint32_t> erased;
    for (const Record& r : records)
        erased.insert(r.address / flashPageSize);
    for (const auto& p : packets) {
        if (p.command == commandWrite) {
            EXPECT_TRUE(erased.contains(p.address / flashPageSize)) << "write at " << p.address;
        }
    }
    if (c.writes >= 0) {
        EXPECT_EQ(countCommand(packets, commandWrite), c.writes);
    }
    if (c.verifies >= 0) {
        EXPECT_EQ(countCommand(packets, commandVerify), c.verifies);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Changes, FileChanged,
    ::testing::Values(
        FileChange{"deleted_before_the_write_pass", Point::beforeWrite, removeFile, true,
                   "File Open Error", 0, 0},
        FileChange{"deleted_before_the_plan_pass", Point::beforePlan, removeFile, true,
                   "File Open Error", 0, 0},
        // Unreadable even for root: a folder where the file was.
        FileChange{"made_unreadable_before_the_verify_pass", Point::beforeVerify,
                   [](const fs::path& p) {
                       fs::remove(p);
                       fs::create_directory(p);
                   },
                   true, "File Open Error", sixRecordsWrites, 0},
        // A FIFO would block the opening until some program wrote to it.
        FileChange{"replaced_by_a_fifo_before_the_write_pass", Point::beforeWrite,
                   [](const fs::path& p) {
                       fs::remove(p);
                       ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0);
                   },
                   true, "File Open Error", 0, 0},
        // Each pass compares the file with the one the check read: the verify
        // pass would otherwise compare the chip with another file.
        FileChange{"replaced_before_the_verify_pass", Point::beforeVerify,
                   [](const fs::path& p) { replaceWith(p, hexText(otherRecords())); }, true,
                   changedBox, sixRecordsWrites, 0},
        // Cut inside a record, without its end record: half a program is no
        // download.
        FileChange{"truncated_before_the_write_pass", Point::beforeWrite,
                   [](const fs::path& p) { fs::resize_file(p, halfFile.size()); }, true, changedBox,
                   0, 0},
        FileChange{"truncated_before_the_plan_pass", Point::beforePlan,
                   [](const fs::path& p) { fs::resize_file(p, halfFile.size()); }, true, changedBox,
                   0, 0},
        // Without verify nothing reads the chip back: the write pass must notice
        // itself that the file is not the one the plan was made from.
        FileChange{"replaced_before_the_write_pass_without_verify", Point::beforeWrite,
                   [](const fs::path& p) { replaceWith(p, hexText(otherRecords())); }, false,
                   changedBox, 0, 0},
        // Changed where it is while the write pass reads it: the pass reads the
        // new tail. Cut short, it ends without the end record.
        FileChange{"truncated_during_the_write_pass", Point::duringWrite,
                   [](const fs::path& p) { fs::resize_file(p, changedLine * hexLineLength + 20); },
                   false,
                   "job.hex line 201: the file ends without an end record "
                   ":00000001FF",
                   static_cast<int>(changedLine), 0, longRecords},
        // Rewritten, a record of the new tail lies in a page that was never
        // erased: it is not written.
        FileChange{"rewritten_during_the_write_pass_without_verify", Point::duringWrite,
                   rewriteLineInPlace, false,
                   "job.hex changed during the download: line 201 at 0x3000 - "
                   "0x3010 was not in the erase plan ",
                   static_cast<int>(changedLine), 0, longRecords}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace sorbel::faults
