#include "loader/CommandPacket.h"

#include <gtest/gtest.h>

#include <numeric>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace sorbel;
using Bytes = std::vector<std::uint8_t>;

Bytes onLine(const CommandPacket& p) {
    return Bytes(p.bytes.begin(), p.bytes.begin() + p.size());
}

struct WorkedPacket {
    const char* name;
    CommandPacket packet;
    Bytes expected;
};

void PrintTo(const WorkedPacket& c, std::ostream* os) {
    *os << c.name;
}

const std::uint8_t data1234[] = {0x12, 0x34};

class WorkedPackets : public ::testing::TestWithParam<WorkedPacket> {};

TEST_P(WorkedPackets, BytesOnTheLine) {
    const auto& c = GetParam();
    EXPECT_EQ(onLine(c.packet), c.expected);
    EXPECT_EQ(c.packet.size(), c.expected.size());
    // From the length byte to the checksum the bytes add up to 0 modulo 256.
    const unsigned sum = std::accumulate(c.expected.begin() + 2, c.expected.end(), 0u);
    EXPECT_EQ(sum % 256, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, WorkedPackets,
    ::testing::Values(
        WorkedPacket{"Run", runPacket(), {0x07, 0x0E, 0x05, 0x52, 0x00, 0x00, 0x00, 0x00, 0xA9}},
        WorkedPacket{"MassErase",
                     massErasePacket(),
                     {0x07, 0x0E, 0x06, 0x45, 0x00, 0x00, 0x00, 0x00, 0x00, 0xB5}},
        WorkedPacket{"PageErase0400",
                     pageErasePacket(0x0400),
                     {0x07, 0x0E, 0x06, 0x45, 0x00, 0x00, 0x04, 0x00, 0x01, 0xB0}},
        WorkedPacket{"PageEraseF600",
                     pageErasePacket(0xF600),
                     {0x07, 0x0E, 0x06, 0x45, 0x00, 0x00, 0xF6, 0x00, 0x01, 0xBE}},
        WorkedPacket{"Write1234At0100",
                     writePacket(0x0100, data1234, 2),
                     {0x07, 0x0E, 0x07, 0x57, 0x00, 0x00, 0x01, 0x00, 0x12, 0x34, 0x5B}},
        WorkedPacket{"Verify1234At0100",
                     verifyPacket(0x0100, data1234, 2),
                     {0x07, 0x0E, 0x07, 0x56, 0x00, 0x00, 0x01, 0x00, 0x90, 0xA1, 0x71}},
        WorkedPacket{"AddressMostSignificantFirst",
                     framePacket(commandRun, 0x12345678, nullptr, 0),
                     {0x07, 0x0E, 0x05, 0x52, 0x12, 0x34, 0x56, 0x78, 0x95}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VerifyRotation, RotatesLeftByThree) {
    const std::pair<std::uint8_t, std::uint8_t> cases[] = {
        {0x01, 0x08}, {0x80, 0x04}, {0x12, 0x90}, {0x34, 0xA1}, {0xFF, 0xFF}, {0x00, 0x00}};
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(rotateForVerify(in), out) << int{in};
    }
    const std::uint8_t high = 0x80;
    EXPECT_EQ(verifyPacket(0, &high, 1).bytes[8], 0x04);
}

TEST(PacketLength, SixteenByteWriteIs25BytesOnTheLine) {
    std::uint8_t data[16];
    std::iota(std::begin(data), std::end(data), std::uint8_t{0xF0});
    const auto p = writePacket(0x8000, data, 16);
    EXPECT_EQ(p.length(), 0x15);
    EXPECT_EQ(p.size(), 25u);
    EXPECT_EQ(p.command(), commandWrite);
    EXPECT_EQ(p.address(), 0x8000u);
    EXPECT_EQ(Bytes(p.bytes.begin() + 8, p.bytes.begin() + 24), Bytes(data, data + 16));
}

TEST(PacketChecksum, EveryBuilderSumsToZeroForEverySize) {
    // Data of every length up to the most a packet holds, with carries in the sum.
    std::vector<std::uint8_t> data(maxPacketData);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(0xFF - i * 7);
    }
    for (std::size_t n = 0; n <= maxPacketData; ++n) {
        for (const auto& p :
             {writePacket(0xFFFF0000 + n, data.data(), n), verifyPacket(0x1FF, data.data(), n)}) {
            ASSERT_EQ(p.size(), n + packetOverhead);
            const unsigned sum =
                std::accumulate(p.bytes.begin() + 2, p.bytes.begin() + p.size(), 0u);
            ASSERT_EQ(sum % 256, 0u) << "n=" << n;
        }
    }
    EXPECT_EQ(writePacket(0, data.data(), maxPacketData).size(), packetBufferSize);
}

TEST(PacketFraming, OversizedDataIsCutToTheBuffer) {
    std::vector<std::uint8_t> data(300, 0xAA);
    const auto p = writePacket(0, data.data(), data.size());
    EXPECT_EQ(p.size(), packetBufferSize);
    EXPECT_EQ(p.length(), maxPacketData + 5);
}

TEST(ResyncFrame, TwentyThreeZerosThenTwoStartBytes) {
    Bytes expected(23, 0x00);
    expected.push_back(0x07);
    expected.push_back(0x07);
    EXPECT_EQ(Bytes(resyncFrame().begin(), resyncFrame().end()), expected);
}

} // namespace
