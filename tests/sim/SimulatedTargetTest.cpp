#include "sim/SimulatedTarget.h"
#include "Line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using sorbel::sim::SimulatedTarget;
using sorbel::sim::TargetOptions;
using sorbel::testing::frame;
using sorbel::testing::Line;
using sorbel::testing::resync;
using sorbel::testing::operator+;
using Bytes = std::vector<std::uint8_t>;

constexpr int ack = 0x06;
constexpr int nak = 0x15;
constexpr auto eventLimit = 5s;
const std::string idText = "QZKV5160  V3Y";

Bytes massErase() {
    return frame('E', 0, {0x00});
}
Bytes pageErase(std::uint32_t address) {
    return frame('E', address, {0x01});
}
Bytes write(std::uint32_t address, const Bytes& data) {
    return frame('W', address, data);
}
Bytes verify(std::uint32_t address, Bytes data) {
    for (auto& b : data) {
        b = static_cast<std::uint8_t>((b << 3) | (b >> 5));
    }
    return frame('V', address, data);
}
Bytes run() {
    return frame('R', 0, {});
}

// A target on a fresh pseudo-terminal and an outside program's end of the line.
class TargetLine : public ::testing::Test {
protected:
    void startTarget(TargetOptions options = {}) {
        target_ = std::make_unique<SimulatedTarget>(std::move(options));
        std::string error;
        ASSERT_TRUE(target_->start(error)) << error;
        ASSERT_TRUE(line_.open(target_->portPath())) << target_->portPath();
    }
    int send(const Bytes& packet) {
        line_.write(packet);
        return line_.answer();
    }
    Bytes flashAt(std::uint32_t address, std::size_t count) const {
        const auto image = target_->flash();
        return Bytes(image.begin() + address, image.begin() + address + count);
    }

    std::unique_ptr<SimulatedTarget> target_;
    Line line_;
};

TEST_F(TargetLine, SilentUntilWakeByteThenSendsIdText) {
    startTarget();
    EXPECT_TRUE(line_.read(1, 100ms).empty());
    line_.write({0x08});
    const auto got = line_.read(idText.size(), eventLimit);
    EXPECT_EQ(std::string(got.begin(), got.end()), idText);
    EXPECT_EQ(target_->wakeBytesReceived(), 1);
}

TEST_F(TargetLine, UnpromptedIdTextAndWrongIdText) {
    TargetOptions options;
    options.idUnprompted = true;
    options.idText = "QZKV51";
    startTarget(options);
    const auto got = line_.read(6, eventLimit);
    EXPECT_EQ(std::string(got.begin(), got.end()), "QZKV51");
}

TEST_F(TargetLine, LineStaysUpWhileTheHostClosesAndReopens) {
    startTarget();
    line_.close();
    ASSERT_TRUE(line_.open(target_->portPath()));
    line_.write({0x08});
    EXPECT_EQ(line_.read(idText.size(), eventLimit).size(), idText.size());
    EXPECT_EQ(send(run()), ack);
}

struct FlashCase {
    const char* name;
    Bytes preset; // written at presetAddress before the packet
    std::uint32_t presetAddress;
    Bytes packet;
    int answer;
    std::uint32_t checkAddress; // flash expected there afterwards
    Bytes expected;
};

void PrintTo(const FlashCase& c, std::ostream* os) {
    *os << c.name;
}

class FlashEffects : public TargetLine, public ::testing::WithParamInterface<FlashCase> {};

TEST_P(FlashEffects, AnswerAndFlash) {
    const auto& c = GetParam();
    startTarget();
    target_->setFlash(c.presetAddress, c.preset);
    EXPECT_EQ(send(c.packet), c.answer);
    EXPECT_EQ(flashAt(c.checkAddress, c.expected.size()), c.expected);
}

const Bytes loaderCode{0x02, 0xF8, 0x00, 0x11};

INSTANTIATE_TEST_SUITE_P(
    Commands, FlashEffects,
    ::testing::Values(
        FlashCase{"WriteIntoErasedFlash",
                  {},
                  0,
                  write(0x100, {0x12, 0x34}),
                  ack,
                  0xFF,
                  {0xFF, 0x12, 0x34, 0xFF}},
        FlashCase{"WriteOnlyClearsBits",
                  {0xF0, 0x0F},
                  0x200,
                  write(0x200, {0x3C, 0xFF}),
                  ack,
                  0x200,
                  {0x30, 0x0F}},
        FlashCase{
            "WriteUpToLoaderArea", {}, 0, write(0xF7FE, {0x01, 0x02}), ack, 0xF7FE, {0x01, 0x02}},
        FlashCase{"WriteReachingLoaderAreaRefused",
                  loaderCode,
                  0xF800,
                  write(0xF7FF, {0x00, 0x00}),
                  nak,
                  0xF7FF,
                  {0xFF, 0x02, 0xF8}},
        FlashCase{"WriteBeyondFlashRefused", {}, 0, write(0x10000, {0x00}), nak, 0xFFFF, {0xFF}},
        FlashCase{"PageEraseClearsOnePage", Bytes(514, 0x00), 0x3FF, pageErase(0x400), ack, 0x3FF,
                  Bytes{0x00} + Bytes(512, 0xFF) + Bytes{0x00}},
        FlashCase{"PageEraseLastFreePage", Bytes(512, 0x00), 0xF600, pageErase(0xF600), ack, 0xF600,
                  Bytes(512, 0xFF)},
        FlashCase{"PageEraseUnalignedRefused", Bytes(2, 0x00), 0x400, pageErase(0x401), nak, 0x400,
                  Bytes(2, 0x00)},
        FlashCase{"PageEraseOfLoaderRefused", loaderCode, 0xF800, pageErase(0xF800), nak, 0xF800,
                  loaderCode},
        FlashCase{"MassEraseStopsAtLoaderArea", Bytes{0x00} + loaderCode, 0xF7FF, massErase(), ack,
                  0xF7FF, Bytes{0xFF} + loaderCode},
        FlashCase{"MassEraseFromStart", Bytes{0x00}, 0, massErase(), ack, 0, Bytes{0xFF}},
        FlashCase{"BadChecksumNotExecuted",
                  {},
                  0,
                  []() {
                      auto p = write(0x100, {0x12});
                      p.back() = static_cast<std::uint8_t>(p.back() + 1);
                      return p;
                  }(),
                  nak,
                  0x100,
                  {0xFF}},
        FlashCase{"UnknownCommandRefused", {}, 0, frame('X', 0x100, {0x00}), nak, 0x100, {0xFF}},
        FlashCase{"VerifyMatching",
                  {0x12, 0x34},
                  0x100,
                  verify(0x100, {0x12, 0x34}),
                  ack,
                  0x100,
                  {0x12, 0x34}},
        FlashCase{"VerifyMismatch",
                  {0x12, 0x35},
                  0x100,
                  verify(0x100, {0x12, 0x34}),
                  nak,
                  0x100,
                  {0x12, 0x35}},
        FlashCase{"VerifyReadsLoaderArea", loaderCode, 0xF800, verify(0xF800, loaderCode), ack,
                  0xF800, loaderCode}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TargetLine, RecordsRunBytesProgrammedAndPackets) {
    startTarget();
    EXPECT_FALSE(target_->runStarted());
    EXPECT_EQ(send(write(0x100, {0x12, 0x34})), ack);
    EXPECT_EQ(send(run()), ack);
    EXPECT_TRUE(target_->runStarted());
    EXPECT_EQ(send(write(0x101, {0x30, 0x56})), ack); // one byte again, one new
    EXPECT_EQ(target_->bytesProgrammed(), 3u);
    EXPECT_EQ(send(pageErase(0)), ack);
    EXPECT_EQ(send(write(0x100, {0x12})), ack); // erased since: counts again
    EXPECT_EQ(target_->bytesProgrammed(), 4u);
    const auto packets = target_->packets();
    ASSERT_EQ(packets.size(), 5u);
    EXPECT_EQ(packets[0].command, 'W');
    EXPECT_EQ(packets[0].address, 0x100u);
    EXPECT_EQ(packets[0].data, (Bytes{0x12, 0x34}));
    EXPECT_EQ(packets[1].answer, ack);
    const auto log = target_->packetLog();
    EXPECT_EQ(log.substr(0, log.find('\n', log.find('\n') + 1) + 1),
              "    1 W 0x00000100   2 12 34 checksum ok answer 06\n"
              "    2 R 0x00000000   0 checksum ok answer 06\n");
}

TEST_F(TargetLine, ResyncFrameDropsPartialPacket) {
    startTarget();
    // The start of a 16-byte write, cut short, then the frame and a good write.
    line_.write(Bytes{0x07, 0x0E, 0x15, 0x57, 0x00, 0x00, 0x02, 0x00, 0xAA} + resync());
    EXPECT_EQ(send(write(0x300, {0x5A})), ack);
    EXPECT_EQ(target_->resyncFrames(), 1);
    const auto packets = target_->packets();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].address, 0x300u);
    EXPECT_EQ(flashAt(0x200, 1), Bytes{0xFF});
    EXPECT_EQ(flashAt(0x300, 1), Bytes{0x5A});
}

// Knobs: a sequence of packets and the answers the outside program sees.
struct KnobCase {
    const char* name;
    TargetOptions options;
    std::vector<Bytes> packets;
    std::vector<int> answers; // -1: no answer within the wait
};

void PrintTo(const KnobCase& c, std::ostream* os) {
    *os << c.name;
}

class Knobs : public TargetLine, public ::testing::WithParamInterface<KnobCase> {};

TEST_P(Knobs, Answers) {
    const auto& c = GetParam();
    startTarget(c.options);
    std::vector<int> answers;
    for (std::size_t i = 0; i < c.packets.size(); ++i) {
        line_.write(c.packets[i]);
        // Silence is waited for briefly; an answer that is due may take its time.
        answers.push_back(line_.answer(c.answers[i] < 0 ? 300ms : eventLimit));
    }
    EXPECT_EQ(answers, c.answers);
}

TargetOptions with(void (*change)(TargetOptions&)) {
    TargetOptions o;
    change(o);
    return o;
}

INSTANTIATE_TEST_SUITE_P(
    Options, Knobs,
    ::testing::Values(KnobCase{"NakOnChosenCommands",
                               with([](TargetOptions& o) {
                                   o.nakOn = {2, 3};
                               }),
                               {run(), run(), run(), run()},
                               {ack, nak, nak, ack}},
                      KnobCase{"WrongAnswerByte",
                               with([](TargetOptions& o) {
                                   o.nakOn = {1};
                                   o.wrongAnswer = 0x07;
                               }),
                               {run(), run()},
                               {0x07, ack}},
                      KnobCase{"SilentOnChosenCommand",
                               with([](TargetOptions& o) { o.silentOn = {1}; }),
                               {run(), run()},
                               {-1, ack}},
                      KnobCase{"EraseAcknowledgedAfterTwoRefusals",
                               with([](TargetOptions& o) { o.eraseAckAfter = 2; }),
                               {massErase(), massErase(), massErase(), pageErase(0), pageErase(0),
                                pageErase(0)},
                               {nak, nak, ack, nak, nak, ack}},
                      KnobCase{"EraseNeverAcknowledged",
                               with([](TargetOptions& o) { o.eraseAckAfter = -1; }),
                               {massErase(), massErase(), massErase(), run()},
                               {nak, nak, nak, ack}},
                      KnobCase{"NakRateOne",
                               with([](TargetOptions& o) { o.nakRate = 1; }),
                               {run(), run()},
                               {nak, nak}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TargetLine, NoiseComesBeforeTheIdTextAndIsNeverAnAcknowledgement) {
    TargetOptions options;
    options.noiseRate = 1;
    startTarget(options);
    for (int i = 0; i < 8; ++i) {
        line_.write({0x08});
        const auto got = line_.read(idText.size() + 1, eventLimit);
        ASSERT_EQ(got.size(), idText.size() + 1);
        EXPECT_NE(got[0], ack);
        EXPECT_EQ(std::string(got.begin() + 1, got.end()), idText);
    }
}

TEST_F(TargetLine, ChipTimesDelayTheAnswer) {
    TargetOptions options;
    options.massEraseTime = 150ms;
    options.writeByteTime = 50ms;
    startTarget(options);
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(send(massErase()), ack);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 150ms);
    begin = std::chrono::steady_clock::now();
    EXPECT_EQ(send(write(0, {1, 2, 3})), ack);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 150ms);
}

TEST_F(TargetLine, RefusedEraseIsNotCarriedOut) {
    TargetOptions options;
    options.eraseAckAfter = 1;
    startTarget(options);
    target_->setFlash(0, {0x00});
    EXPECT_EQ(send(massErase()), nak);
    EXPECT_EQ(flashAt(0, 1), Bytes{0x00});
    EXPECT_EQ(send(massErase()), ack);
    EXPECT_EQ(flashAt(0, 1), Bytes{0xFF});
}

TEST_F(TargetLine, RandomKnobsRepeatUnderTheSameSeed) {
    const auto answersFor = [this](std::uint64_t seed) {
        TargetOptions options;
        options.seed = seed;
        options.nakRate = 0.5;
        startTarget(options);
        std::vector<int> answers;
        for (int i = 0; i < 24; ++i) {
            answers.push_back(send(run()));
        }
        line_.close();
        return answers;
    };
    const auto first = answersFor(7);
    EXPECT_EQ(answersFor(7), first);
    EXPECT_NE(std::count(first.begin(), first.end(), nak), 0);
    EXPECT_NE(std::count(first.begin(), first.end(), ack), 0);
}

TEST_F(TargetLine, HangsUpAfterChosenCommand) {
    TargetOptions options;
    options.hangUpAfter = 2;
    startTarget(options);
    EXPECT_EQ(send(run()), ack);
    EXPECT_EQ(send(run()), ack);
    ASSERT_TRUE(target_->waitFor([&] { return target_->hungUp(); }, eventLimit));
    line_.write(run());
    EXPECT_TRUE(line_.read(1, eventLimit).empty());
    EXPECT_TRUE(line_.lastReadFailed());
}

TEST_F(TargetLine, InjectedBytesAreSeenWaitingOnTheHostSide) {
    startTarget();
    target_->sendRaw({0x06, 0x06});
    EXPECT_TRUE(target_->waitFor([&] { return target_->pendingForHost() == 2; }, eventLimit));
    EXPECT_EQ(line_.read(2, eventLimit), (Bytes{0x06, 0x06}));
    EXPECT_EQ(target_->pendingForHost(), 0);
}

TEST_F(TargetLine, PacedOutputTakesTenBitsAByte) {
    TargetOptions options;
    options.baud = 1200; // 13 bytes: at least 108 ms
    startTarget(options);
    const auto begin = std::chrono::steady_clock::now();
    line_.write({0x08});
    EXPECT_EQ(line_.read(idText.size(), eventLimit).size(), idText.size());
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 13 * 10 * 1000000us / 1200);
}

TEST(SimulatedTarget, MissingDeviceIsReported) {
    TargetOptions options;
    options.device = "/dev/no-such-serial-line";
    SimulatedTarget target(options);
    std::string error;
    EXPECT_FALSE(target.start(error));
    EXPECT_NE(error.find("/dev/no-such-serial-line"), std::string::npos) << error;
}

TEST(SimulatedTarget, DumpsFlashAndLog) {
    SimulatedTarget target;
    std::string error;
    ASSERT_TRUE(target.start(error)) << error;
    Line line;
    ASSERT_TRUE(line.open(target.portPath()));
    line.write(write(0x10, {0xAB}));
    ASSERT_EQ(line.answer(), ack);
    const std::string dir = ::testing::TempDir();
    ASSERT_TRUE(target.dumpFlash(dir + "/sim-flash.bin", error)) << error;
    ASSERT_TRUE(target.writeLog(dir + "/sim-log.txt", error)) << error;
    std::ifstream image(dir + "/sim-flash.bin", std::ios::binary);
    const Bytes bytes((std::istreambuf_iterator<char>(image)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 0x10000u);
    EXPECT_EQ(bytes[0x10], 0xAB);
    EXPECT_EQ(bytes[0x11], 0xFF);
    EXPECT_FALSE(target.dumpFlash(dir + "/no-such-dir/flash.bin", error));
    EXPECT_NE(error.find("no-such-dir"), std::string::npos);
}

} // namespace
