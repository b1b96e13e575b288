#include "sim/PacketParser.h"
#include "Line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace {

using sorbel::sim::PacketParser;
using sorbel::testing::frame;
using sorbel::testing::resync;
using sorbel::testing::operator+;
using Bytes = std::vector<std::uint8_t>;

// What the parser made of a stream, one word per event.
std::string events(PacketParser& parser, const Bytes& bytes) {
    std::string out;
    for (std::uint8_t b : bytes) {
        switch (parser.feed(b)) {
        case PacketParser::Event::none:
            continue;
        case PacketParser::Event::wake:
            out += "wake ";
            break;
        case PacketParser::Event::resync:
            out += "resync ";
            break;
        case PacketParser::Event::packet: {
            const auto& p = parser.packet();
            char text[48];
            std::snprintf(text, sizeof text, "%c@%X", static_cast<char>(p.command),
                          static_cast<unsigned>(p.address));
            out += text;
            for (std::uint8_t d : p.data) {
                std::snprintf(text, sizeof text, ":%02X", d);
                out += text;
            }
            out += p.checksumOk ? " " : "(bad) ";
            break;
        }
        }
    }
    return out;
}

Bytes badChecksum(Bytes packet) {
    packet.back() = static_cast<std::uint8_t>(packet.back() + 1);
    return packet;
}

struct ParserCase {
    const char* name;
    Bytes input;
    std::string expected;
    std::size_t dropped;
};

void PrintTo(const ParserCase& c, std::ostream* os) {
    *os << c.name;
}

class PacketParserTable : public ::testing::TestWithParam<ParserCase> {};

TEST_P(PacketParserTable, ReadsTheStream) {
    PacketParser parser;
    EXPECT_EQ(events(parser, GetParam().input), GetParam().expected);
    EXPECT_EQ(parser.dropped(), GetParam().dropped);
    EXPECT_FALSE(parser.inPacket());
}

const Bytes partialWrite{0x07, 0x0E, 0x15, 0x57, 0x00, 0x00, 0x02, 0x00, 0xAA};
const Bytes longPartial{0x07, 0x0E, 0x40, 0x57, 0x00, 0x00, 0x02, 0x00, 0xAA};

INSTANTIATE_TEST_SUITE_P(
    Streams, PacketParserTable,
    ::testing::Values(
        ParserCase{"WakeBetweenPackets", {0x08}, "wake ", 0},
        ParserCase{"NoiseIgnored", {0x55, 0xAA, 0x00, 0x0E, 0x06}, "", 0},
        ParserCase{"GoodWrite", frame('W', 0x100, {0x12, 0x34}), "W@100:12:34 ", 0},
        ParserCase{"RunWithoutData", frame('R', 0, {}), "R@0 ", 0},
        ParserCase{"BadChecksum", badChecksum(frame('W', 0x100, {0x12, 0x34})), "W@100:12:34(bad) ",
                   0},
        // 6 + 0x57 + 0xA3 = 0x100: a good packet whose checksum byte is 0x00.
        ParserCase{"GoodPacketWithZeroChecksum", frame('W', 0, {0xA3}), "W@0:A3 ", 0},
        ParserCase{"WakeByteInsideAPacketIsData", frame('W', 0x08, {0x08}), "W@8:08 ", 0},
        ParserCase{"RepeatedStartByte", Bytes{0x07} + frame('R', 0, {}), "R@0 ", 0},
        ParserCase{"WakeAfterLoneStartByte", {0x07, 0x08}, "wake ", 0},
        ParserCase{"TooShortLengthDropped", Bytes{0x07, 0x0E, 0x04, 0x52} + frame('R', 0, {}),
                   "R@0 ", 0},
        ParserCase{"ResyncFrameAlone", resync(), "resync ", 0},
        ParserCase{"TwentyTwoZerosAreNoFrame", Bytes(22, 0x00) + Bytes{0x07, 0x07, 0x55}, "", 0},
        ParserCase{"ResyncEndsPartialPacketWithoutAnswer",
                   partialWrite + resync() + frame('R', 0, {}), "resync R@0 ", 1},
        ParserCase{"ResyncEndsLongPartialPacket", longPartial + resync() + frame('R', 0, {}),
                   "resync R@0 ", 0},
        ParserCase{"FrameAfterGoodPacket", frame('W', 0x100, {0x12}) + resync(), "W@100:12 resync ",
                   0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PacketParser, TakesAnyByteStreamWithoutFault) {
    // Every byte value in every state: the parser must neither crash nor stay stuck.
    PacketParser parser;
    std::uint32_t x = 12345;
    for (int i = 0; i < 200000; ++i) {
        x = x * 1103515245 + 12345;
        parser.feed(static_cast<std::uint8_t>(x >> 16));
    }
    events(parser, resync());
    EXPECT_EQ(events(parser, frame('R', 0, {})), "R@0 ");
}

} // namespace
