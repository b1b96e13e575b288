// SimulatedTarget: the target loader at the other end of the serial line, for tests and for
// trying SORBEL without a board.
//
// start() opens a pseudo-terminal pair (or the device named in the options) and runs the
// loader on a thread of its own until stop(), destruction or a hang-up knob. portPath() is
// what SORBEL opens. The simulator keeps a slave descriptor of its own open, so SORBEL may
// open and close the port as often as it likes without the line going away.
//
// The loader's side of the exchange: silent until it receives the wake byte 0x08, then it
// sends the identification text (for every wake byte that arrives between packets). Framed
// commands (0x07 0x0E, length, command, address, data, checksum) are checked and answered
// with 0x06 when good and executed, or with `wrongAnswer` (0x15) when bad or refused. The
// resynchronisation frame (23 x 0x00, 0x07 0x07) drops any partial packet. Flash: 64 KiB,
// erased to 0xFF; a write can only clear bits; 0xF800-0xFFFF hold the loader and refuse
// erase and write; verify data arrive rotated left by three bits and are rotated back.
//
// Every member may be called from any thread; the getters return consistent copies.
// Random knobs draw from one generator seeded with `seed`, in the order packets arrive, so
// a run is repeatable.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace sorbel::sim {

inline constexpr std::size_t targetFlashSize = 0x10000;
inline constexpr std::uint32_t targetPageSize = 512;
inline constexpr std::uint32_t loaderAreaStart = 0xF800; // up to 0xFFFF: the loader itself
inline constexpr std::uint8_t nakByte = 0x15;
inline constexpr const char* defaultIdText = "QZKV5160  V3Y";

struct TargetOptions {
    // Empty: open a new pseudo-terminal pair. Otherwise a serial device to serve (opened raw).
    std::string device;
    // Sent for each wake byte. A wrong or short text is just another value; empty: silent.
    std::string idText = defaultIdText;
    // Send the identification text once at start, as a loader does after a reset.
    bool idUnprompted = false;
    // 0: no pacing. Otherwise every byte in and out takes 10 bits at this rate.
    long baud = 0;
    // Time each command takes before it is answered.
    std::chrono::microseconds pageEraseTime{0};
    std::chrono::microseconds massEraseTime{0};
    std::chrono::microseconds writeByteTime{0};
    std::chrono::milliseconds ackDelay{0}; // added before every answer byte
    std::uint64_t seed = 1;
    // Command numbers count every framed packet received, from 1. A silent command gets
    // no answer; a failed one gets `wrongAnswer`. Neither is executed.
    std::set<int> silentOn;
    std::set<int> nakOn;
    double silentRate = 0; // probability per packet
    double nakRate = 0;
    std::uint8_t wrongAnswer = nakByte;
    // Probability that one random byte (never 0x06) goes out just before an answer or the
    // identification text.
    double noiseRate = 0;
    // Each erase command is refused (wrongAnswer) this many times before it is executed and
    // acknowledged; -1: never acknowledged.
    int eraseAckAfter = 0;
    // Close the line after answering this many packets (-1: never). SORBEL's reads then fail.
    int hangUpAfter = -1;
};

struct ReceivedPacket {
    int number = 0; // 1-based count of framed packets
    std::uint8_t command = 0;
    std::uint32_t address = 0;
    std::vector<std::uint8_t> data; // as received (verify data still rotated)
    bool checksumOk = false;
    int answer = -1; // byte sent back; -1: none (silent)
    // When the target read the packet's last byte from the line; with pacing, when that byte
    // had crossed it at the line's rate; when the answer's write began (unset when silent).
    std::chrono::steady_clock::time_point read{};
    std::chrono::steady_clock::time_point received{};
    std::chrono::steady_clock::time_point answered{};
};

class SimulatedTarget {
public:
    explicit SimulatedTarget(TargetOptions options = {});
    ~SimulatedTarget(); // stops
    SimulatedTarget(const SimulatedTarget&) = delete;
    SimulatedTarget& operator=(const SimulatedTarget&) = delete;

    // Opens the line and starts the loader thread. false with a reason in error.
    bool start(std::string& error);
    // Ends the loader thread and closes the line, after letting what was just sent reach
    // SORBEL (waits while SORBEL has unread bytes, up to 0.5 s after the last one was sent).
    // Idempotent.
    void stop();
    // Closes the line at once, as a pulled cable: SORBEL's reads fail.
    void hangUp();

    // The device SORBEL should open (the pseudo-terminal's slave, or options.device).
    std::string portPath() const;

    // Sends bytes to SORBEL unprompted (a stray answer, noise). Paced like any output.
    void sendRaw(const std::vector<std::uint8_t>& bytes);
    // Bytes sent to SORBEL that it has not read yet; -1 when that cannot be seen (not a
    // pseudo-terminal). Lets a test know that injected bytes are waiting on SORBEL's side.
    int pendingForHost() const;

    // Replaces flash contents at address (for verify tests); the loader area too.
    void setFlash(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
    std::vector<std::uint8_t> flash() const; // targetFlashSize bytes
    std::vector<ReceivedPacket> packets() const;
    int wakeBytesReceived() const;
    int resyncFrames() const;
    bool runStarted() const;
    bool hungUp() const;
    // Packets fully dealt with: answered (the answer written to the line) or left silent.
    // packets() records a packet just before its answer goes out.
    int packetsHandled() const;
    // Flash bytes written by acknowledged write commands; a byte written again before it is
    // erased (a write resent after a lost answer) counts once.
    std::uint64_t bytesProgrammed() const;

    // One line per packet received: number, command, address, data, checksum, answer.
    std::string packetLog() const;
    bool dumpFlash(const std::string& path, std::string& error) const;
    bool writeLog(const std::string& path, std::string& error) const;

    // Waits until condition() is true (checked after every event and every 10 ms) or the
    // limit has passed; returns the last result. condition runs without the target's lock,
    // so it may call the getters.
    bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace sorbel::sim
