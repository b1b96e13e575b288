#include "loader/CommandPacket.h"

namespace sorbel {

namespace {

constexpr std::uint8_t massErasePageCount = 0x00;
constexpr std::uint8_t pageErasePageCount = 0x01;
constexpr const char* writeErrorText = "Write error";

// Reads and drops bytes until one single-byte read time-out passes without any, for at most
// this many bytes (a line that chatters without pause cannot hold the sender for ever).
constexpr int lateAnswerBytes = 64;

void dropLateAnswers(SerialPort& port) {
    std::uint8_t byte = 0;
    for (int n = 0; n < lateAnswerBytes && port.readByte(byte) == 1; ++n) {
    }
}

bool lineGone(const SerialPort& port) {
    return port.aborted() || port.hungUp();
}

} // namespace

std::uint32_t CommandPacket::address() const {
    return (std::uint32_t{bytes[4]} << 24) | (std::uint32_t{bytes[5]} << 16) |
           (std::uint32_t{bytes[6]} << 8) | std::uint32_t{bytes[7]};
}

CommandPacket framePacket(std::uint8_t command, std::uint32_t address, const std::uint8_t* data,
                          std::size_t count) {
    // A caller asking for more than fits is cut to what the buffer holds rather than
    // writing past it.
    if (count > maxPacketData) {
        count = maxPacketData;
    }
    CommandPacket packet;
    auto& b = packet.bytes;
    b[0] = packetStart1;
    b[1] = packetStart2;
    b[2] = static_cast<std::uint8_t>(count + 5);
    b[3] = command;
    b[4] = static_cast<std::uint8_t>(address >> 24);
    b[5] = static_cast<std::uint8_t>(address >> 16);
    b[6] = static_cast<std::uint8_t>(address >> 8);
    b[7] = static_cast<std::uint8_t>(address);
    for (std::size_t i = 0; i < count; ++i) {
        b[8 + i] = data[i];
    }
    unsigned sum = 0;
    for (std::size_t i = 2; i < 8 + count; ++i) {
        sum += b[i];
    }
    b[8 + count] = static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
    return packet;
}

CommandPacket massErasePacket() {
    const std::uint8_t pages = massErasePageCount;
    return framePacket(commandErase, 0, &pages, 1);
}

CommandPacket pageErasePacket(std::uint32_t pageAddress) {
    const std::uint8_t pages = pageErasePageCount;
    return framePacket(commandErase, pageAddress, &pages, 1);
}

CommandPacket writePacket(std::uint32_t address, const std::uint8_t* data, std::size_t count) {
    return framePacket(commandWrite, address, data, count);
}

CommandPacket verifyPacket(std::uint32_t address, const std::uint8_t* data, std::size_t count) {
    std::array<std::uint8_t, maxPacketData> rotated{};
    if (count > maxPacketData) {
        count = maxPacketData;
    }
    for (std::size_t i = 0; i < count; ++i) {
        rotated[i] = rotateForVerify(data[i]);
    }
    return framePacket(commandVerify, address, rotated.data(), count);
}

CommandPacket runPacket() {
    return framePacket(commandRun, 0, nullptr, 0);
}

std::uint8_t rotateForVerify(std::uint8_t b) {
    return static_cast<std::uint8_t>((b << 3) | (b >> 5));
}

const std::array<std::uint8_t, resyncFrameSize>& resyncFrame() {
    static const std::array<std::uint8_t, resyncFrameSize> frame = [] {
        std::array<std::uint8_t, resyncFrameSize> f{};
        f[resyncFrameSize - 2] = packetStart1;
        f[resyncFrameSize - 1] = packetStart1;
        return f;
    }();
    return frame;
}

int sendPacket(SerialPort& port, const CommandPacket& packet, MessageSink& sink) {
    return sendPacket(port, packet, sink, eraseRetryLimit);
}

int sendPacket(SerialPort& port, const CommandPacket& packet, MessageSink& sink,
               std::chrono::milliseconds eraseLimit) {
    const bool erase = packet.command() == commandErase;
    const auto size = static_cast<std::uint32_t>(packet.size());
    const auto& frame = resyncFrame();
    const auto deadline = std::chrono::steady_clock::now() + eraseLimit;
    int failures = 0;
    for (;;) {
        if (lineGone(port)) {
            return maxSendAttempts;
        }
        if (erase) {
            // An erase may take the loader a while; it is repeated until acknowledged, but
            // a target that never answers is given up once the limit has passed.
            if (failures > 0 && std::chrono::steady_clock::now() >= deadline) {
                return maxSendAttempts;
            }
        } else if (failures >= maxSendAttempts) {
            return failures;
        }

        port.purge(purgeAll);
        if (port.write(packet.bytes.data(), size) != size) {
            if (lineGone(port)) {
                return maxSendAttempts;
            }
            sink.showMessage(writeErrorText);
        }
        std::uint8_t answer = 0;
        port.readByte(answer);
        if (answer == ackByte) {
            return erase ? 0 : failures;
        }
        if (lineGone(port)) {
            return maxSendAttempts;
        }
        ++failures;
        if (port.write(frame.data(), resyncFrameSize) != resyncFrameSize) {
            if (lineGone(port)) {
                return maxSendAttempts;
            }
            sink.showMessage(writeErrorText);
        }
        // A target that answers after the read time-out would otherwise have that answer
        // read as the answer to the next attempt, or to the next command: an acknowledgement
        // taken for a verify that the target refused. Its late answer is waited for and
        // dropped here, before anything else is sent.
        dropLateAnswers(port);
        port.purge(purgeAll);
    }
}

} // namespace sorbel
