// The INI layer against other processes: a writer killed at any moment leaves the old or the
// new file, and writers in several processes at once lose no key.
#include "settings/IniFile.h"

#include "TempFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace sorbel {
namespace {

using test::readText;
using test::TempFolder;
using test::writeText;

// Waits for a child until the deadline; a child still running then is killed and the wait
// reports failure, so a hung writer fails the test instead of hanging it.
bool waitForChild(pid_t child, std::chrono::steady_clock::time_point deadline, int& status) {
    for (;;) {
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child)
            return true;
        if (done < 0)
            return false;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// The whole file as it must look after the writer stored "Port=v<n>". A large comment makes
// each write long enough for kills to land inside it.
std::string settingsWithPort(int n) {
    return "; written by hand\n" + std::string(256 * 1024, ';') + "\n\n[Other]\nPort=keep\n\n" +
           "[Sorbel]\nFile=/home/op/a b.hex\nPort=v" + std::to_string(n) + "\nBaud=9600\n";
}

TEST(ProfileWriteKilled, LeavesTheOldOrTheNewFile) {
    TempFolder folder;
    const auto path = folder.file("s.ini");
    writeText(path, settingsWithPort(0));

    std::mt19937 random(20261211);
    std::uniform_int_distribution<int> delayMicroseconds(0, 40000);
    int lastSeen = 0;
    // A few hundred kills at random points; on a machine so loaded that the rounds crawl,
    // the time budget ends the run early, never before the first minimumRounds.
    constexpr int rounds = 300;
    constexpr int minimumRounds = 40;
    const auto budgetEnd = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (int round = 0;
         round < rounds && (round < minimumRounds || std::chrono::steady_clock::now() < budgetEnd);
         ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int n = lastSeen + 1;; ++n)
                writeProfileString(path, "Sorbel", "Port", "v" + std::to_string(n));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_TRUE(waitForChild(child, std::chrono::steady_clock::now() + std::chrono::seconds(10),
                                 status));

        const auto port = readProfileString(path, "Sorbel", "Port", "");
        ASSERT_TRUE(port.starts_with("v")) << "round " << round << ": Port=" << port;
        const int seen = std::stoi(port.substr(1));
        ASSERT_GE(seen, lastSeen) << "round " << round;
        ASSERT_EQ(readText(path), settingsWithPort(seen)) << "round " << round;
        lastSeen = seen;
    }

    // The next ordinary write clears what the killed writers left behind.
    ASSERT_TRUE(writeProfileString(path, "Sorbel", "Port", "done"));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"s.ini"});
}

struct RaceCase {
    const char* name;
    bool fileExists;
};

class ProfileWriteRace : public testing::TestWithParam<RaceCase> {};

TEST_P(ProfileWriteRace, WritersInSeveralProcessesLoseNoKey) {
    constexpr int writers = 3;
    constexpr int writesEach = 25;
    const std::string others = "; keep me\n[Other]\nA=1\n";
    TempFolder folder;
    const auto path = folder.file("s.ini");
    if (GetParam().fileExists)
        writeText(path, others);

    // All writers wait on one pipe and start together when the parent closes it.
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(gate[1]);
            char byte;
            (void)::read(gate[0], &byte, 1);
            bool allWritten = true;
            for (int n = 1; n <= writesEach; ++n)
                allWritten &= writeProfileString(path, "Sorbel", "Key" + std::to_string(w),
                                                 std::to_string(n));
            ::_exit(allWritten ? 0 : 1);
        }
        children.push_back(child);
    }
    ::close(gate[0]);
    ::close(gate[1]);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (const pid_t child : children) {
        int status = 0;
        ASSERT_TRUE(waitForChild(child, deadline, status)) << "a writer hung";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a write failed";
    }
    for (int w = 0; w < writers; ++w) {
        EXPECT_EQ(readProfileString(path, "Sorbel", "Key" + std::to_string(w), "lost"),
                  std::to_string(writesEach))
            << "Key" << w;
    }
    if (GetParam().fileExists) {
        EXPECT_TRUE(readText(path).starts_with(others));
    }
}

INSTANTIATE_TEST_SUITE_P(Files, ProfileWriteRace,
                         testing::Values(RaceCase{"NewFile", false},
                                         RaceCase{"ExistingFile", true}),
                         [](const testing::TestParamInfo<RaceCase>& info) {
                             return info.param.name;
                         });

} // namespace
} // namespace sorbel
