// sendPacket against the simulated target over a real pseudo-terminal.
#include "loader/CommandPacket.h"
#include "serial/SerialPort.h"
#include "sim/SimulatedTarget.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace sorbel;
using sorbel::sim::SimulatedTarget;
using sorbel::sim::TargetOptions;

constexpr auto eventLimit = 5s;
const std::uint8_t data1234[] = {0x12, 0x34};

class RecordingSink : public MessageSink {
public:
    void showMessage(const std::string& text) override { messages.push_back(text); }
    std::vector<std::string> messages;
};

class SendPacketTest : public ::testing::Test {
protected:
    void startTarget(TargetOptions options = {}) {
        target_ = std::make_unique<SimulatedTarget>(std::move(options));
        std::string error;
        ASSERT_TRUE(target_->start(error)) << error;
        port_.setMessageSink(&sink_);
        ASSERT_EQ(port_.open(target_->portPath(), "115200"), 1) << target_->portPath();
    }
    // The simulator counts a frame when it has read it, which may be just after
    // sendPacket returned.
    int framesSeen(int expected) const {
        target_->waitFor([&] { return target_->resyncFrames() >= expected; }, eventLimit);
        return target_->resyncFrames();
    }

    std::unique_ptr<SimulatedTarget> target_;
    RecordingSink sink_;
    SerialPort port_;
};

struct AttemptCase {
    const char* name;
    TargetOptions options;
    CommandPacket packet;
    int result;
    std::size_t packets; // received by the target
    int frames;
};

void PrintTo(const AttemptCase& c, std::ostream* os) {
    *os << c.name;
}

class Attempts : public SendPacketTest, public ::testing::WithParamInterface<AttemptCase> {};

TEST_P(Attempts, ResultPacketsAndFrames) {
    const auto& c = GetParam();
    startTarget(c.options);
    EXPECT_EQ(sendPacket(port_, c.packet, sink_), c.result);
    EXPECT_EQ(framesSeen(c.frames), c.frames);
    EXPECT_EQ(target_->packets().size(), c.packets) << target_->packetLog();
    EXPECT_TRUE(sink_.messages.empty());
}

TargetOptions with(void (*change)(TargetOptions&)) {
    TargetOptions o;
    change(o);
    return o;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Attempts,
    ::testing::Values(
        AttemptCase{"AcknowledgedAtOnce", {}, writePacket(0x100, data1234, 2), 0, 1, 0},
        AttemptCase{"ThirdAttemptAfterWrongAnswers", with([](TargetOptions& o) {
                        o.nakOn = {1, 2};
                    }),
                    writePacket(0x100, data1234, 2), 2, 3, 2},
        AttemptCase{"ThirdAttemptAfterSilence", with([](TargetOptions& o) {
                        o.silentOn = {1, 2};
                    }),
                    runPacket(), 2, 3, 2},
        AttemptCase{"AnswerOfStartByteFails", with([](TargetOptions& o) {
                        o.nakOn = {1};
                        o.wrongAnswer = 0x07;
                    }),
                    runPacket(), 1, 2, 1},
        AttemptCase{"NeverAcknowledged", with([](TargetOptions& o) { o.nakRate = 1; }),
                    writePacket(0x100, data1234, 2), 10, 10, 10},
        AttemptCase{"NeverAnswered", with([](TargetOptions& o) { o.silentRate = 1; }), runPacket(),
                    10, 10, 10},
        AttemptCase{"EraseAcknowledgedLate", with([](TargetOptions& o) { o.eraseAckAfter = 12; }),
                    massErasePacket(), 0, 13, 12}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SendPacketTest, StrayAcknowledgementBeforePurgeIsNotCounted) {
    TargetOptions options;
    options.nakOn = {1};
    startTarget(options);
    target_->sendRaw({ackByte});
    ASSERT_TRUE(target_->waitFor([&] { return target_->pendingForHost() == 1; }, eventLimit));
    EXPECT_EQ(sendPacket(port_, runPacket(), sink_), 1);
    EXPECT_EQ(target_->packets().size(), 2u);
}

TEST_F(SendPacketTest, EraseNeverAcknowledgedIsGivenUpAfterTheLimit) {
    TargetOptions options;
    options.eraseAckAfter = -1;
    startTarget(options);
    const auto limit = 300ms;
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(sendPacket(port_, pageErasePacket(0x400), sink_, limit), maxSendAttempts);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, limit);
    EXPECT_GT(target_->packets().size(), 1u);
    EXPECT_TRUE(sink_.messages.empty());
}

TEST_F(SendPacketTest, EraseOnHungUpLineEndsAtOnce) {
    TargetOptions options;
    options.eraseAckAfter = -1;
    options.hangUpAfter = 2;
    startTarget(options);
    // Without the hang-up this erase would be retried for the whole default limit.
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(sendPacket(port_, massErasePacket(), sink_), maxSendAttempts);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, eraseRetryLimit);
    EXPECT_TRUE(port_.hungUp());
}

TEST_F(SendPacketTest, AbortedPortSendsNothingAndShowsNothing) {
    startTarget();
    port_.abort();
    EXPECT_EQ(sendPacket(port_, massErasePacket(), sink_), maxSendAttempts);
    EXPECT_TRUE(sink_.messages.empty());
    EXPECT_FALSE(target_->waitFor([&] { return !target_->packets().empty(); }, 200ms));
}

} // namespace

namespace {

TEST(SendPacketShortWrite, ShowsWriteErrorAndStillWaitsForTheAnswer) {
    // A port that takes no bytes: every packet and every frame is written short. Each is
    // reported, and the attempts run their full course rather than ending at the first.
    sorbel::SerialPort port;
    RecordingSink sink;
    EXPECT_EQ(sorbel::sendPacket(port, sorbel::runPacket(), sink), sorbel::maxSendAttempts);
    EXPECT_EQ(sink.messages, std::vector<std::string>(20, "Write error"));
}

} // namespace
