// The download worker: connection, identification, run command, failures, stop and idling,
// over a real pseudo-terminal against the simulated target.
#include "WorkerFixture.h"

#include <gmock/gmock.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace sorbel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using namespace std::chrono_literals;

const std::vector<Record> oneRecord = {{0x0000, pattern(16, 1)}};

// Polls a condition for at most waitLimit (for flags, which the host does not signal).
template <typename Condition> bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + waitLimit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class WorkerTest : public WorkerFixture {
protected:
    bool waitForTarget(const std::function<bool()>& condition) {
        return target_->waitFor(condition, waitLimit);
    }
    // True when another program could open the line now: the worker has let it go.
    bool portIsFree() {
        SerialPort other;
        const bool opened = other.open(target_->portPath(), testBaud) == 1;
        if (opened)
            other.close();
        return opened;
    }
};

TEST_F(WorkerTest, StartDownloadsAndEndsTheConnection) {
    startTarget();
    useFile("sample.hex", hexText(oneRecord));

    download();

    EXPECT_THAT(lines(),
                ElementsAre(readyLines()[0], readyLines()[1], "QZKV5160  V3Y received.",
                            "Erasing 1 pages of 512 bytes each.", StartsWith("Downloading ... "),
                            "Download Complete.", "    Click Run to run program."));
    EXPECT_EQ(host_.buttons(), connectionButtons());
    EXPECT_GE(target_->wakeBytesReceived(), 1);
    EXPECT_EQ(host_.controlFlags.connectPending.get(), 0);
    EXPECT_EQ(host_.controlFlags.linkActive.get(), 0);
    EXPECT_EQ(host_.controlFlags.targetReady.get(), 1); // stays until the next Start
    EXPECT_TRUE(portIsFree());
}

// Texts that do not match are shown and the wait goes on: a wrong text, one with a zero
// byte among its first six characters, a short one; then the right one starts the job.
TEST_F(WorkerTest, IdentificationWrongShortThenRight) {
    sim::TargetOptions options;
    options.idText = ""; // the test sends the texts itself
    startTarget(options);
    useFile("sample.hex", hexText(oneRecord));
    pressStart();
    ASSERT_TRUE(waitForTarget([&] { return target_->wakeBytesReceived() >= 1; }));

    const std::vector<std::string> texts = {"QZKX5160  V3Y",
                                            std::string("QZKV5\0"
                                                        "60",
                                                        8),
                                            "QZK"};
    for (std::size_t i = 0; i < texts.size(); ++i) {
        target_->sendRaw({texts[i].begin(), texts[i].end()});
        ASSERT_TRUE(host_.waitFor(
            [&](const auto& events) {
                return RecordingHost::countOf(events, RecordingHost::Kind::line) >= 3 + i;
            },
            waitLimit));
    }
    const std::string right = "QZKV5160  V3Y";
    target_->sendRaw({right.begin(), right.end()});
    ASSERT_TRUE(waitForEndOfConnection());

    const auto lines = host_.lines();
    ASSERT_GE(lines.size(), 6U);
    EXPECT_EQ(lines[2], "QZKX5160  V3Y received.Waiting for correct ID string.");
    EXPECT_EQ(lines[3], "QZKV5 received.Waiting for correct ID string.");
    EXPECT_EQ(lines[4], "QZK received.Waiting for correct ID string.");
    EXPECT_EQ(lines[5], "QZKV5160  V3Y received.");
    EXPECT_EQ(lines.back(), "    Click Run to run program.");
}

struct RunCase {
    const char* name;
    bool acknowledged;
};
void PrintTo(const RunCase& c, std::ostream* out) {
    *out << c.name;
}

class RunTest : public WorkerTest, public ::testing::WithParamInterface<RunCase> {};

TEST_P(RunTest, RunSendsTheRunCommandAndClosesThePort) {
    const RunCase& c = GetParam();
    sim::TargetOptions options;
    if (!c.acknowledged)
        options.nakRate = 1.0;
    startTarget(options);

    pressRun();
    ASSERT_TRUE(eventually([&] { return host_.controlFlags.runRequested.get() == 0; }));

    if (c.acknowledged) {
        EXPECT_THAT(host_.lines(), ElementsAre("Running.", "    Click Start for new download."));
        EXPECT_THAT(host_.messages(), IsEmpty());
        EXPECT_THAT(packets(), ElementsAre("R0000"));
        EXPECT_TRUE(target_->runStarted());
    } else {
        EXPECT_THAT(host_.lines(), ElementsAre("Run Communications failure.",
                                               "    Click Start for new download."));
        EXPECT_THAT(host_.messages(), ElementsAre("Communications failure. Run aborted"));
        EXPECT_EQ(packets(), std::vector<std::string>(10, "R0000"));
        EXPECT_FALSE(target_->runStarted());
    }
    EXPECT_THAT(host_.buttons(), IsEmpty()); // Run stays as the window left it
    EXPECT_EQ(host_.controlFlags.linkActive.get(), 0);
    EXPECT_TRUE(portIsFree());
}

INSTANTIATE_TEST_SUITE_P(Answer, RunTest,
                         ::testing::Values(RunCase{"acknowledged", true},
                                           RunCase{"neverAcknowledged", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A run request whose port does not open: one message, the request cleared, Run enabled.
TEST_F(WorkerTest, RunOnAPortThatDoesNotOpenGivesUpAtOnce) {
    setPort(dir_ + "/absent-tty");

    pressRun();
    ASSERT_TRUE(host_.waitForButton(runButton, true, 1, waitLimit));

    EXPECT_EQ(host_.controlFlags.runRequested.get(), 0);
    EXPECT_THAT(host_.lines(), IsEmpty());
    // A worker that kept retrying would show the box again and again.
    EXPECT_FALSE(host_.waitFor(
        [](const auto& events) {
            return RecordingHost::countOf(events, RecordingHost::Kind::message) > 1;
        },
        300ms));
    ASSERT_EQ(host_.messages().size(), 1U);
    EXPECT_THAT(host_.messages()[0], StartsWith("Communication Port Error."));
    EXPECT_THAT(host_.buttons(), ElementsAre("1007 on"));
}

// Start on a port that does not open: its message, no line, no button change; the
// connection request stays and a second Start tries again.
TEST_F(WorkerTest, StartOnAPortThatDoesNotOpen) {
    setPort(dir_ + "/absent-tty");

    pressStart();
    ASSERT_TRUE(host_.waitForKind(RecordingHost::Kind::message, waitLimit));
    ASSERT_TRUE(eventually([&] { return host_.controlFlags.linkActive.get() == 0; }));
    EXPECT_EQ(host_.controlFlags.connectPending.get(), 1);
    EXPECT_THAT(host_.lines(), IsEmpty());
    EXPECT_THAT(host_.buttons(), IsEmpty());

    pressStart();
    ASSERT_TRUE(host_.waitFor(
        [](const auto& events) {
            return RecordingHost::countOf(events, RecordingHost::Kind::message) == 2;
        },
        waitLimit));
    EXPECT_THAT(host_.messages()[1], StartsWith("Communication Port Error."));
}

// The line goes away while the worker waits for the target: the port's message, then the
// connection ends so the operator can try again.
TEST_F(WorkerTest, FailedIdentificationReadEndsTheConnection) {
    sim::TargetOptions options;
    options.idText = "";
    startTarget(options);
    useFile("sample.hex", hexText(oneRecord));
    pressStart();
    ASSERT_TRUE(waitForTarget([&] { return target_->wakeBytesReceived() >= 1; }));

    target_->hangUp();
    ASSERT_TRUE(waitForEndOfConnection());

    ASSERT_EQ(host_.messages().size(), 1U);
    EXPECT_THAT(host_.messages()[0], StartsWith("Reading of serial communication has problem."));
    EXPECT_EQ(host_.lines(), readyLines());
    EXPECT_EQ(host_.buttons(), connectionButtons());
    EXPECT_THAT(host_.positions(), ElementsAre(0));
    EXPECT_EQ(host_.controlFlags.linkActive.get(), 0);
    EXPECT_EQ(host_.controlFlags.connectPending.get(), 0);
}

// Stopping ends the worker out of whatever it waits for, and it calls the host no more.
struct StopCase {
    const char* name;
    sim::TargetOptions options;
    std::function<bool(const sim::SimulatedTarget&)> reached; // when to stop
};
void PrintTo(const StopCase& c, std::ostream* out) {
    *out << c.name;
}

class StopTest : public WorkerTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopTest, StopEndsTheWorkerAndLeavesTheHostAlone) {
    const StopCase& c = GetParam();
    startTarget(c.options);
    setBaud("9600");
    std::vector<Record> records;
    for (std::uint32_t i = 0; i < 64; ++i)
        records.push_back({i * 16, pattern(16, static_cast<std::uint8_t>(i))});
    useFile("sample.hex", hexText(records));
    setOptions(false, true, true);
    pressStart();
    ASSERT_TRUE(waitForTarget([&] { return c.reached(*target_); }));

    const auto stopAt = std::chrono::steady_clock::now();
    worker().stop();
    const auto took = std::chrono::steady_clock::now() - stopAt;

    // Far below the 30 s an unacknowledged erase would otherwise take.
    EXPECT_LT(took, 10s);
    EXPECT_FALSE(worker().running());
    // The interrupted read or command failed; a worker that went on reporting would show
    // a box, the "Flash error." lines and give the buttons back.
    EXPECT_THAT(host_.messages(), IsEmpty());
    EXPECT_THAT(host_.lines(), ::testing::Not(::testing::Contains("Flash error.")));
    EXPECT_THAT(host_.buttons(), ElementsAre("1002 off", "1007 off", "1029 off"));
    const auto eventsAtStop = host_.size();
    worker().resume(); // does nothing now
    EXPECT_FALSE(
        host_.waitFor([&](const auto& events) { return events.size() > eventsAtStop; }, 200ms));
    EXPECT_TRUE(portIsFree());
}

sim::TargetOptions silentTarget() {
    sim::TargetOptions options;
    options.idText = "";
    return options;
}
sim::TargetOptions eraseNeverAcknowledged() {
    sim::TargetOptions options;
    options.eraseAckAfter = -1;
    return options;
}
sim::TargetOptions slowAnswers() {
    sim::TargetOptions options;
    options.ackDelay = 50ms; // within the 210 ms answer time-out at 9600 baud
    return options;
}

INSTANTIATE_TEST_SUITE_P(
    During, StopTest,
    ::testing::Values(
        StopCase{"waitForTarget", silentTarget(),
                 [](const sim::SimulatedTarget& t) { return t.wakeBytesReceived() >= 2; }},
        StopCase{"eraseNeverAcknowledged", eraseNeverAcknowledged(),
                 [](const sim::SimulatedTarget& t) { return t.packets().size() >= 2; }},
        StopCase{"download", slowAnswers(),
                 [](const sim::SimulatedTarget& t) { return t.packets().size() >= 4; }}),
    [](const auto& info) { return std::string(info.param.name); });

// Processor time of one thread of this process, in clock ticks.
long threadTicks(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
}

// After a download the worker waits for the next Start or Run without using the processor.
TEST_F(WorkerTest, IdleWorkerUsesNoProcessorTime) {
    startTarget();
    useFile("sample.hex", hexText(oneRecord));
    download();
    const pid_t worker = host_.callerThread();
    ASSERT_GT(worker, 0);

    const long before = threadTicks(worker);
    std::this_thread::sleep_for(500ms);
    const long after = threadTicks(worker);

    ASSERT_GE(before, 0);
    // A busy wait would take tens of ticks in half a second even on a loaded machine.
    EXPECT_LE(after - before, 2);

    // And it still answers the next request.
    pressRun();
    ASSERT_TRUE(eventually([&] { return host_.controlFlags.runRequested.get() == 0; }));
    EXPECT_TRUE(target_->runStarted());
}

} // namespace
} // namespace sorbel::test
