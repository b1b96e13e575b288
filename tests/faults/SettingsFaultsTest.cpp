// The settings file going wrong under a save. Covered elsewhere and not repeated here: a
// folder that is missing (SaveSettings.FailedWriteKeepsTheNewSettingInMemory), a folder that
// is read-only (ProfileWriteFile.ReadOnlyFolderKeepsTheOldFile), saves killed at random
// points (ProfileWriteKilled.LeavesTheOldOrTheNewFile) and saves from several processes at
// once (ProfileWriteRace.WritersInSeveralProcessesLoseNoKey), all in tests/settings.
#include "FaultBench.h"

#include "settings/DownloadSettings.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace sorbel::faults {
namespace {

// A file the operator made read-only: a save may replace it or leave it, but the file is
// whole, its comments and other keys survive, it stays read-only, and the program keeps
// the new configuration in memory.
TEST(SettingsFile, ReadOnlyFileIsLeftWholeAndReadOnly) {
    TempDir dir;
    const fs::path ini = dir.path() / "bench.ini";
    const std::string before = "; bench 4, do not change\n[Other]\nPort=keep\n\n[Sorbel]\n"
                               "File=/srv/fw.hex\nPort=COM2\nBaud=19200\nVerify=Yes\n";
    writeText(ini, before);
    ASSERT_EQ(::chmod(ini.c_str(), 0444), 0);

    SettingsStore store;
    store.locateSettingsFile(dir.path().string() + "/", (dir.path() / "bench").string());
    store.loadSettings();
    DownloadSettings chosen = store.snapshot();
    ASSERT_EQ(chosen.port, "COM2");
    chosen.port = "/dev/ttyUSB3";
    store.saveConfiguration(chosen);

    EXPECT_EQ(store.snapshot().port, "/dev/ttyUSB3");
    const std::string after = readText(ini);
    if (after != before) {
        EXPECT_EQ(after.find("; bench 4, do not change\n[Other]\nPort=keep\n"), 0u) << after;
        EXPECT_NE(after.find("File=/srv/fw.hex\nPort=/dev/ttyUSB3\nBaud=19200\n"),
                  std::string::npos)
            << after;
    }
    struct stat status {};
    ASSERT_EQ(::stat(ini.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0444u);
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir.path(), error))
        EXPECT_EQ(entry.path().filename(), "bench.ini") << "left behind";
}

} // namespace
} // namespace sorbel::faults
