// Fuzzes the simulated target's packet parser with an arbitrary line, then checks that the
// resynchronisation frame brings it back whatever came before.
//
// The input is split in two: noise, fed byte by byte, and the fields of one command. What
// must hold:
//  - every packet handed out is whole: length at least 5 and length - 5 data bytes; a wake
//    event comes only from 0x08 and a resync event only from 0x07;
//  - after the noise, a resynchronisation frame gives Event::resync on its last byte and
//    leaves the parser between packets;
//  - then the command, framed as SORBEL frames it, comes out as one Event::packet on its
//    last byte, with the same command, address and data and a good checksum (unless its
//    own bytes hold a frame, which the loader cannot tell from a real one);
//  - a wake byte between packets gives Event::wake.
#include "sim/PacketParser.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

using sorbel::sim::PacketParser;

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

void checkWhole(const PacketParser& parser) {
    const auto& packet = parser.packet();
    check(packet.length >= 5);
    check(packet.data.size() == std::size_t{packet.length} - 5);
}

bool holdsFrame(const std::vector<std::uint8_t>& bytes) {
    std::size_t zeros = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (bytes[i] == 0x00) {
            ++zeros;
            continue;
        }
        if (zeros >= 23 && bytes[i] == 0x07 && bytes[i + 1] == 0x07) {
            return true;
        }
        zeros = 0;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider input(bytes, size);
    const auto noiseLength = input.ConsumeIntegralInRange<std::size_t>(0, 4096);
    const std::vector<std::uint8_t> noise = input.ConsumeBytes<std::uint8_t>(noiseLength);
    const auto command = input.ConsumeIntegral<std::uint8_t>();
    const auto address = input.ConsumeIntegral<std::uint32_t>();
    const auto dataLength = input.ConsumeIntegralInRange<std::size_t>(0, 247);
    const std::vector<std::uint8_t> data = input.ConsumeBytes<std::uint8_t>(dataLength);

    PacketParser parser;
    for (const std::uint8_t byte : noise) {
        const auto dropped = parser.dropped();
        const PacketParser::Event event = parser.feed(byte);
        if (event == PacketParser::Event::packet) {
            checkWhole(parser);
        }
        check(event != PacketParser::Event::wake || byte == 0x08);
        check(event != PacketParser::Event::resync || byte == 0x07);
        check(parser.dropped() >= dropped && parser.dropped() <= dropped + 1);
    }

    // The resynchronisation frame ends whatever was under way.
    for (int i = 0; i < 23; ++i) {
        if (parser.feed(0x00) == PacketParser::Event::packet) {
            checkWhole(parser);
        }
    }
    check(parser.feed(0x07) != PacketParser::Event::resync);
    check(parser.feed(0x07) == PacketParser::Event::resync);
    check(!parser.inPacket());

    // One command as SORBEL frames it.
    std::vector<std::uint8_t> frame{0x07,
                                    0x0E,
                                    static_cast<std::uint8_t>(data.size() + 5),
                                    command,
                                    static_cast<std::uint8_t>(address >> 24),
                                    static_cast<std::uint8_t>(address >> 16),
                                    static_cast<std::uint8_t>(address >> 8),
                                    static_cast<std::uint8_t>(address)};
    frame.insert(frame.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (std::size_t i = 2; i < frame.size(); ++i) {
        sum += frame[i];
    }
    frame.push_back(static_cast<std::uint8_t>((256 - sum % 256) % 256));
    if (holdsFrame(frame)) {
        return 0;
    }
    for (std::size_t i = 0; i < frame.size(); ++i) {
        const PacketParser::Event event = parser.feed(frame[i]);
        if (i + 1 < frame.size()) {
            check(event == PacketParser::Event::none);
            check(parser.inPacket() || i == 0);
            continue;
        }
        check(event == PacketParser::Event::packet);
        const auto& packet = parser.packet();
        checkWhole(parser);
        check(packet.checksumOk);
        check(packet.command == command && packet.address == address && packet.data == data);
    }
    check(!parser.inPacket());
    check(parser.feed(0x08) == PacketParser::Event::wake);
    return 0;
}
