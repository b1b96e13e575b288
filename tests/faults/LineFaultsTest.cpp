// Faults of the line and of the target, end to end over pseudo-terminals: the line hanging
// up in each phase of a download, and targets that misbehave in the ways a bench produces.
#include "CliRunner.h"
#include "FaultBench.h"

#include "loader/CommandPacket.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <thread>

namespace sorbel::faults {
namespace {

using sim::SimulatedTarget;
using sim::TargetOptions;
using ::testing::Contains;
using ::testing::Not;

constexpr auto readFailure = "Reading of serial communication has problem.";
constexpr auto hangUpBound = std::chrono::seconds(2);

std::set<int> fromPacket(int first) {
    std::set<int> numbers;
    for (int n = first; n < first + 400; ++n)
        numbers.insert(n);
    return numbers;
}

// The line hangs up while the download waits for the target: for its identification text,
// for the answer to an erase, a write, a verify. Each wait is made to last (the target stays
// silent from that command on) and the line is pulled once the target has seen it.
struct HangUpCase {
    const char* name;
    std::set<int> silentFrom;   // packets the target leaves unanswered
    std::uint8_t waitedCommand; // 0: the identification wait
    bool jobRan;                // the job had begun: it ends with "Flash error."
    std::vector<std::string> boxes;
    bool massErase = false;
};

void PrintTo(const HangUpCase& c, std::ostream* out) {
    *out << c.name;
}

class HangUp : public ::testing::TestWithParam<HangUpCase> {};

TEST_P(HangUp, ReadFailsWithinTwoSecondsThePortIsFreedAndStartWorksAgain) {
    const HangUpCase& c = GetParam();
    TempDir dir;
    const auto records = sixRecords();
    const fs::path hex = dir.path() / "six.hex";
    writeText(hex, hexText(records));

    TargetOptions options;
    options.silentOn = c.silentFrom;
    if (c.waitedCommand == 0)
        options.idText = ""; // silent: the worker keeps waking it
    auto target = startTarget(options);
    Bench bench(target->portPath());
    if (c.massErase)
        bench.setOptions(optionYes, optionYes, optionYes);
    bench.pressStart(hex.string());

    ASSERT_TRUE(target->waitFor(
        [&] {
            if (c.waitedCommand == 0)
                return target->wakeBytesReceived() >= 2;
            return countCommand(target->packets(), c.waitedCommand) >= 1;
        },
        waitLimit));
    const auto pulled = Clock::now();
    target->hangUp();

    OperatorHost& host = bench.host();
    ASSERT_TRUE(host.waitForButtonsBack(1)) << "the worker never gave the buttons back";
    EXPECT_LT(host.firstBoxAt() - pulled, hangUpBound);
    EXPECT_LT(host.buttonsBackAt(1) - pulled, hangUpBound);
    EXPECT_EQ(host.boxes(), c.boxes);
    EXPECT_THAT(host.buttons(), ::testing::ElementsAre("1002 off", "1007 off", "1029 off",
                                                       "1002 on", "1007 on", "1029 on"));
    const auto lines = host.lines();
    EXPECT_THAT(lines, Not(Contains("Download Complete.")));
    if (c.jobRan)
        EXPECT_EQ(lastTwo(lines), flashErrorLines);
    else
        EXPECT_EQ(lastTwo(lines).back(), "    Press Download and pulse Reset on hardware.");

    // What reached the target: the commands before the waited one, then that one only
    // (sent again while it went unanswered), nothing after it.
    const auto packets = target->packets();
    const auto first = std::find_if(packets.begin(), packets.end(),
                                    [&](const auto& p) { return p.command == c.waitedCommand; });
    if (c.waitedCommand == 0) {
        EXPECT_TRUE(packets.empty());
    } else {
        ASSERT_NE(first, packets.end());
        for (auto p = first; p != packets.end(); ++p) {
            EXPECT_EQ(p->command, first->command);
            EXPECT_EQ(p->address, first->address);
        }
    }

    // Start is usable again: a new Start on a target that answers downloads the file, which
    // it could not if the port had been left open.
    auto second = startTarget();
    bench.setPort(second->portPath());
    bench.pressStart(hex.string());
    ASSERT_TRUE(host.waitForButtonsBack(2));
    EXPECT_EQ(lastTwo(host.lines()), completeLines);
    EXPECT_TRUE(holds(second->flash(), records));
}

INSTANTIATE_TEST_SUITE_P(
    Phases, HangUp,
    ::testing::Values(HangUpCase{"identification_wait", {}, 0, false, {readFailure}},
                      // The read failure says why, the erase's own box which step was given up.
                      HangUpCase{"erase",
                                 fromPacket(1),
                                 commandErase,
                                 true,
                                 {readFailure, "Erase not acknowledged at 0x0 "}},
                      HangUpCase{"mass_erase",
                                 fromPacket(1),
                                 commandErase,
                                 true,
                                 {readFailure, "Mass erase not acknowledged "},
                                 true},
                      HangUpCase{"write_pass",
                                 fromPacket(sixRecordsErases + 1),
                                 commandWrite,
                                 true,
                                 {readFailure, "Error at 0x0 - 0x10 "}},
                      HangUpCase{"verify_pass",
                                 fromPacket(sixRecordsErases + sixRecordsWrites + 1),
                                 commandVerify,
                                 true,
                                 {readFailure, "Error at 0x0 - 0x10 "}}),
    [](const auto& info) { return std::string(info.param.name); });

// sorbel-cli against targets that misbehave. Each case: what the operator sees (exit status,
// the last status line, the messages), what the target holds, and a time bound.
struct TargetCase {
    const char* name;
    std::function<void(TargetOptions&)> setUp;
    std::vector<std::string> options; // besides -p PORT -b 9600 FILE
    int exitStatus;
    std::string lastLine; // a regular expression
    std::vector<std::string> inStderr;
    std::function<void(SimulatedTarget&, const std::vector<Record>&)> check;
    std::chrono::seconds bound;
    bool flashPreloaded = false; // the records are in flash before the run (verify only)
};

void PrintTo(const TargetCase& c, std::ostream* out) {
    *out << c.name;
}

class Misbehaving : public ::testing::TestWithParam<TargetCase> {};

TEST_P(Misbehaving, OperatorSeesTheTruthAndNothingHangs) {
    const TargetCase& c = GetParam();
    TempDir dir;
    const auto records = sixRecords();
    const fs::path hex = dir.path() / "six.hex";
    writeText(hex, hexText(records));

    TargetOptions options;
    options.seed = 20261211;
    c.setUp(options);
    auto target = startTarget(options);
    if (c.flashPreloaded) {
        for (const Record& r : records)
            target->setFlash(r.address, r.data);
        // One record that the chip does not hold: verify must find it.
        target->setFlash(records[3].address, std::vector<std::uint8_t>(16, 0x00));
    }
    std::vector<std::string> arguments = c.options;
    arguments.insert(arguments.end(), {"-p", target->portPath(), "-b", "9600", hex.string()});
    const CliRun run = runCli(arguments, std::chrono::seconds(c.bound));

    const ChildResult& r = run.result;
    EXPECT_FALSE(r.timedOut) << r.out << r.err;
    EXPECT_EQ(r.exitStatus, c.exitStatus) << r.out << r.err;
    const auto lines = splitLines(r.out);
    ASSERT_FALSE(lines.empty()) << r.err;
    EXPECT_TRUE(std::regex_match(lines.back(), std::regex(c.lastLine))) << r.out;
    for (const std::string& part : c.inStderr)
        EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
    if (c.exitStatus != 0) {
        EXPECT_EQ(r.out.find("Download Complete."), std::string::npos) << r.out;
    }
    c.check(*target, records);
}

const std::string completeLast = " {4}Click Run to run program\\.";
const std::string flashErrorLast = " {4}Check setup and try downloading again\\.";

INSTANTIATE_TEST_SUITE_P(
    Targets, Misbehaving,
    ::testing::Values(
        // Every odd packet is refused: each command goes through on its second attempt,
        // after one resynchronisation frame.
        TargetCase{"naks_every_other_command",
                   [](TargetOptions& o) {
                       for (int n = 1; n < 400; n += 2)
                           o.nakOn.insert(n);
                   },
                   {"--verify"},
                   0,
                   completeLast,
                   {},
                   [](SimulatedTarget& t, const std::vector<Record>& records) {
                       EXPECT_TRUE(holds(t.flash(), records));
                       EXPECT_EQ(t.resyncFrames(), sixRecordsErases + 2 * sixRecordsWrites);
                       EXPECT_EQ(t.packets().size(), 2u * (sixRecordsErases + 12));
                   },
                   std::chrono::seconds(40)},
        // A random byte before a third of the answers and identification texts.
        TargetCase{"answers_with_noise",
                   [](TargetOptions& o) { o.noiseRate = 0.3; },
                   {"--verify"},
                   0,
                   completeLast,
                   {},
                   [](SimulatedTarget& t, const std::vector<Record>& records) {
                       EXPECT_TRUE(holds(t.flash(), records));
                       EXPECT_GT(t.resyncFrames(), 0);
                   },
                   std::chrono::seconds(40)},
        // Late, but within the read time-out (210 ms at 9600 baud): nothing is sent twice.
        TargetCase{"acknowledges_late_within_the_time_out",
                   [](TargetOptions& o) { o.ackDelay = std::chrono::milliseconds(100); },
                   {"--verify"},
                   0,
                   completeLast,
                   {},
                   [](SimulatedTarget& t, const std::vector<Record>& records) {
                       EXPECT_TRUE(holds(t.flash(), records));
                       EXPECT_EQ(t.resyncFrames(), 0);
                   },
                   std::chrono::seconds(40)},
        // Later than the time-out: an answer that comes after its attempt was given up must
        // never be taken for the answer to a later command. The chip lacks one record, so a
        // verify that believed a stale acknowledgement would report a bad chip as good.
        TargetCase{"acknowledges_after_the_time_out",
                   [](TargetOptions& o) { o.ackDelay = std::chrono::milliseconds(350); },
                   {"--no-program", "--verify"},
                   1,
                   flashErrorLast,
                   {"Verify aborted."},
                   [](SimulatedTarget&, const std::vector<Record>&) {},
                   std::chrono::seconds(60),
                   true},
        // Identification, then silence: ten attempts of the first command, then the failure.
        TargetCase{"silent_after_its_identification",
                   [](TargetOptions& o) { o.silentRate = 1.0; },
                   {"--no-program", "--verify"},
                   1,
                   flashErrorLast,
                   {"Error at 0x0 - 0x10", "Verify aborted."},
                   [](SimulatedTarget& t, const std::vector<Record>&) {
                       EXPECT_EQ(t.packets().size(), static_cast<std::size_t>(maxSendAttempts));
                       EXPECT_EQ(countCommand(t.packets(), commandVerify), maxSendAttempts);
                       EXPECT_TRUE(t.waitFor([&] { return t.resyncFrames() == maxSendAttempts; },
                                             waitLimit));
                   },
                   std::chrono::seconds(40)},
        // The erase is refused for ever: given up after the erase limit, no write follows,
        // and the operator is told which erase was never acknowledged.
        TargetCase{"erase_never_completes",
                   [](TargetOptions& o) { o.eraseAckAfter = -1; },
                   {"--verify"},
                   1,
                   flashErrorLast,
                   {"Erase not acknowledged at 0x0 ", "Erase aborted."},
                   [](SimulatedTarget& t, const std::vector<Record>&) {
                       const auto packets = t.packets();
                       EXPECT_GT(packets.size(), 1u);
                       EXPECT_EQ(countCommand(packets, commandErase),
                                 static_cast<int>(packets.size()));
                       EXPECT_EQ(t.bytesProgrammed(), 0u);
                   },
                   std::chrono::seconds(eraseRetryLimit) + std::chrono::seconds(30)}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace sorbel::faults
