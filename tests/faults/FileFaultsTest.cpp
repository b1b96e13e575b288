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

#include <sys/stat.h>

namespace sorbel::faults {
namespace {

using ::testing::Contains;
using ::testing::Not;

enum class Point {
    beforePlan,   // after the check, before the plan pass (mass erase on: "Mass Erasing ")
    beforeWrite,  // after the plan pass, before the write pass ("Erasing 3 pages ...")
    beforeVerify, // before the last write command; the verify pass opens the file after it
};

// Records the replacement file holds: a page the original's plan never erased.
std::vector<Record> otherRecords() {
    return {{0x0A00, pattern(16, 9)}, {0x0A10, pattern(16, 10)}};
}

struct FileChange {
    const char* name;
    Point point;
    std::function<void(const fs::path&)> change;
    bool verify;
    std::string box; // first line of the first box; empty: any box
    int writes;      // write commands that reach the target (-1: any)
    int verifies;    // verify commands that reach the target (-1: any)
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

class FileChanged : public ::testing::TestWithParam<FileChange> {};

TEST_P(FileChanged, JobNeverReportsAChipItDidNotProgramWhole) {
    const FileChange& c = GetParam();
    TempDir dir;
    const auto records = sixRecords();
    const fs::path hex = dir.path() / "six.hex";
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
        if (c.point == Point::beforeVerify && position == progressStep * sixRecordsWrites)
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
    if (c.writes >= 0) {
        EXPECT_EQ(countCommand(packets, commandWrite), c.writes);
    }
    if (c.verifies >= 0) {
        EXPECT_EQ(countCommand(packets, commandVerify), c.verifies);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Changes, FileChanged,
    ::testing::Values(FileChange{"deleted_before_the_write_pass", Point::beforeWrite, removeFile,
                                 true, "File Open Error", 0, 0},
                      FileChange{"deleted_before_the_plan_pass", Point::beforePlan, removeFile,
                                 true, "File Open Error", 0, 0},
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
                      // The verify pass reads the new file: its records are not in the chip.
                      FileChange{"replaced_before_the_verify_pass", Point::beforeVerify,
                                 [](const fs::path& p) { replaceWith(p, hexText(otherRecords())); },
                                 true, "Error at 0xa00 - 0xa10 ", sixRecordsWrites, -1}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace sorbel::faults
