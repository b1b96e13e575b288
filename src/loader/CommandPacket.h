// CommandPacket and sendPacket: one framed command to the target loader and its answer.
//
// A packet on the line: 0x07 0x0E, length (n + 5), command letter, 32-bit address most
// significant byte first, n data bytes, checksum (the bytes from the length byte to the
// checksum add up to 0 modulo 256). The loader answers every packet with one byte; only
// 0x06 acknowledges it.
//
// sendPacket(port, packet, sink) runs on the thread that owns the port and blocks until
// the packet is acknowledged or given up. It returns the number of failed attempts: 0 to 9
// after an acknowledgement, 10 (maxSendAttempts) when ten attempts failed. Each attempt:
// purge both directions, write the packet, read one answer byte; after a failure write the
// 25-byte resynchronisation frame, read and drop whatever still comes until one single-byte
// read time-out passes quietly (a late answer to the failed attempt, which must not be taken
// for the answer to a later one), and purge again. Erase commands are not limited to ten
// attempts: they are repeated until acknowledged (result 0) or until eraseRetryLimit has
// passed (result 10). A short write shows "Write error" on the sink and goes on. A port
// that is aborted or whose line has hung up ends the attempts at once with 10.
#pragma once

#include "serial/MessageSink.h"
#include "serial/SerialPort.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace sorbel {

inline constexpr std::uint8_t packetStart1 = 0x07;
inline constexpr std::uint8_t packetStart2 = 0x0E;
inline constexpr std::uint8_t commandErase = 0x45;  // 'E'
inline constexpr std::uint8_t commandWrite = 0x57;  // 'W'
inline constexpr std::uint8_t commandVerify = 0x56; // 'V'
inline constexpr std::uint8_t commandRun = 0x52;    // 'R'
inline constexpr std::uint8_t ackByte = 0x06;
inline constexpr std::uint8_t wakeByte = 0x08;
inline constexpr std::size_t packetBufferSize = 256;
inline constexpr std::size_t maxPacketData = 247; // 8 header bytes + 247 + checksum = 256
inline constexpr std::size_t packetOverhead = 9;  // start bytes, length, command, address, checksum
inline constexpr std::size_t resyncFrameSize = 25;
inline constexpr int maxSendAttempts = 10;
inline constexpr std::uint32_t flashPageSize = 512;
// How long an erase that is never acknowledged is retried before it is given up.
inline constexpr std::chrono::seconds eraseRetryLimit{30};

struct CommandPacket {
    std::array<std::uint8_t, packetBufferSize> bytes{};

    std::uint8_t length() const { return bytes[2]; }
    std::uint8_t command() const { return bytes[3]; }
    // Bytes on the line: length + 4.
    std::size_t size() const { return std::size_t{bytes[2]} + 4; }
    std::uint32_t address() const;
};

// Frames any command; count must not exceed maxPacketData.
CommandPacket framePacket(std::uint8_t command, std::uint32_t address, const std::uint8_t* data,
                          std::size_t count);
CommandPacket massErasePacket();
CommandPacket pageErasePacket(std::uint32_t pageAddress);
CommandPacket writePacket(std::uint32_t address, const std::uint8_t* data, std::size_t count);
// Data bytes are rotated left by three bits, as the loader expects for verify.
CommandPacket verifyPacket(std::uint32_t address, const std::uint8_t* data, std::size_t count);
CommandPacket runPacket();

std::uint8_t rotateForVerify(std::uint8_t b);
// 23 bytes 0x00, then 0x07 0x07.
const std::array<std::uint8_t, resyncFrameSize>& resyncFrame();

int sendPacket(SerialPort& port, const CommandPacket& packet, MessageSink& sink);
// The same with the erase limit given (tests use a short one). Also ends at once with 10
// when the port is aborted or its line hangs up, for erase commands too.
int sendPacket(SerialPort& port, const CommandPacket& packet, MessageSink& sink,
               std::chrono::milliseconds eraseLimit);

} // namespace sorbel
