// PacketParser: the target loader's reading of the line, one byte at a time.
//
// Between packets the loader looks only for the wake byte 0x08 and the start bytes 0x07
// 0x0E; anything else is line noise and ignored. After the start bytes come the length
// (count of command, address and data bytes), that many bytes, and the checksum; the bytes
// from the length to the checksum add up to 0 modulo 256 in a good packet. A length below 5
// cannot hold a command and address and drops the packet. The resynchronisation frame
// (23 x 0x00, then 0x07 0x07) is recognised in any state and drops a partial packet. A
// packet that fails its checksum on a byte that may belong to such a frame (a 0x00, or the
// first 0x07 after 23 of them) is taken for a partial packet cut short by the frame and is
// dropped without an answer (counted in dropped()), so that the frame draws no stray reply.
//
// Plain value type with no I/O and no limits on input, so it can be fed arbitrary bytes
// (fuzzing). Not thread-safe; one owner.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sorbel::sim {

struct ParsedPacket {
    std::uint8_t length = 0;
    std::uint8_t command = 0;
    std::uint32_t address = 0;
    std::vector<std::uint8_t> data;
    bool checksumOk = false;
};

class PacketParser {
public:
    enum class Event { none, wake, packet, resync };

    // Feeds one byte. After Event::packet, packet() holds the packet just completed.
    Event feed(std::uint8_t byte);
    const ParsedPacket& packet() const { return packet_; }
    // True while a packet has begun and is not complete.
    bool inPacket() const { return state_ != State::idle; }
    // Packets dropped as cut short by a resynchronisation frame.
    std::size_t dropped() const { return dropped_; }
    // Back to between packets (the dropped() count is kept).
    void reset();

private:
    enum class State { idle, start2, length, body };
    State state_ = State::idle;
    std::vector<std::uint8_t> body_; // command .. checksum
    std::size_t expected_ = 0;
    std::uint8_t length_ = 0;
    std::size_t zeroRun_ = 0;     // zeros just before the current position
    std::size_t frameSevens_ = 0; // 0x07 bytes after a run of 23 zeros
    ParsedPacket packet_;
    std::size_t dropped_ = 0;
};

} // namespace sorbel::sim
