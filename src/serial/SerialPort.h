// SerialPort: the one RS-232 link to the target loader, over POSIX termios.
//
// Contract (every call but abort(), aborted() and hungUp() belongs to the one thread that
// owns the port, normally the download worker):
//  - Messages: the port shows nothing itself. Each failure message goes to the sink as one
//    text: the fixed first line ("Communication Port Error.", "Unable to set the time-out
//    parameters", "SerialPort error %d" with the errno value, "Reading of serial
//    communication has problem.", "Port Closing Error."), then '\n' and one line with the
//    system's reason naming the port, e.g.
//    "Communication Port Error.\nCOM1 (/dev/ttyS0): Permission denied: the device belongs to
//    group dialout, ...". A sink can show the first line alone and lose nothing vital. The
//    reasons for a device that will not open are PortErrors.h's: permission denied names
//    the device's group and how to join it, busy says another program holds the port, an
//    absent device (ENOENT, ENODEV, ENXIO) lists the serial ports found.
//  - open(portName, baudText): 1 when the device is open, exclusively ours (flock and
//    TIOCEXCL) and configured raw 8N1 at the rate, no flow control, receiver on, carrier
//    ignored, queues flushed, DTR raised, RTS low; 0 otherwise. A second open while open
//    returns 0 silently and changes nothing. The name goes through deviceName(); an empty
//    name or one with control characters is refused ("Communication Port Error."). A baud
//    text that parseBaud() does not read as a positive number is refused before the device
//    is touched ("Unable to set the time-out parameters", the text quoted in the reason).
//    A rate the driver will not run at gives "SerialPort error 22". An absent device, one
//    held by any program (this one and this process included) or one that is no terminal
//    gives "Communication Port Error.". A failed open leaves the port closed and holds
//    nothing; it can be opened again as soon as the cause is gone.
//  - close(): 1 when an open port was closed (line settings found at open restored,
//    exclusivity released), 0 when it was not open; "Port Closing Error." when the system
//    refuses (the port counts as closed all the same). Output that write() did not report
//    as sent is dropped, so closing never waits on a stuck line.
//  - read(buffer, n, got): blocks until n bytes arrived or the read time-out
//    n * (2000 / baud + 1) + 2000000 / baud + 1 ms ran out. Returns 1 with got bytes and,
//    when got > 0, a terminating zero at buffer[got] (the buffer holds n + 1 characters);
//    with got == 0 the buffer is untouched. Returns 0 after
//    "Reading of serial communication has problem." when the read fails, the port is not
//    open, or the line has hung up (EIO, POLLHUP, end of file): at once, not at the
//    time-out, and again on every later read until the next open.
//  - readByte(byte): 1 byte under the same time-out; 0 on time-out or failure, byte
//    unchanged, no message, except that a hung-up line is reported once per open with the
//    read-failure message.
//  - write(data, n): blocks until the bytes have left the host's output queue (TIOCOUTQ
//    reads 0) or 10 * n + 5000 ms have passed; returns the count that left it (what the
//    system took minus what was still queued at the time-out); 0 when closed or aborted.
//    No message. A write that finds the line hung up marks hungUp().
//  - purge(flags): discards queued input (purgeRx*: TCIFLUSH) and/or output (purgeTx*:
//    TCOFLUSH); nothing when the port is closed.
//  - setTrafficProbe(probe, context): for measurements only. probe(context, event) is called
//    on the owning thread when readByte has received its byte (byteRead) and when write has
//    finished (written). Unset, as it is by default, it costs one test per call.
//  - abort(): callable from any thread; wakes every blocking read, readByte, write and
//    output wait at once and makes every later read, readByte and write fail silently
//    until the next successful open. An abort that comes while open() runs still holds
//    after it.
#pragma once

#include "serial/MessageSink.h"
#include "serial/PortDiscovery.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace sorbel {

// Purge flags, as the loader protocol names them; combine with |.
inline constexpr unsigned purgeTxAbort = 0x0001;
inline constexpr unsigned purgeRxAbort = 0x0002;
inline constexpr unsigned purgeTxClear = 0x0004;
inline constexpr unsigned purgeRxClear = 0x0008;
inline constexpr unsigned purgeAll = purgeTxAbort | purgeRxAbort | purgeTxClear | purgeRxClear;

class SerialPort {
public:
    SerialPort();
    ~SerialPort(); // closes the port if it is open
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // The GUI's one process-wide port, built on first use and never destroyed.
    static SerialPort& instance();

    // Where failure messages go; nullptr drops them. Not owned.
    void setMessageSink(MessageSink* sink);
    // Where the message about an absent port looks for the ports present (tests use a
    // fake tree); the machine's by default.
    void setDiscoveryRoots(const DiscoveryRoots& roots);

    int open(const std::string& portName, const std::string& baudText);
    int close();
    int isOpen() const;
    int read(char* buffer, std::uint32_t maxBytes, std::uint32_t& bytesRead);
    int readByte(std::uint8_t& byte);
    std::uint32_t write(const std::uint8_t* data, std::uint32_t length);
    void purge(unsigned flags);

    enum class Traffic { byteRead, written };
    using TrafficProbe = void (*)(void* context, Traffic event);
    void setTrafficProbe(TrafficProbe probe, void* context);

    void abort();
    bool aborted() const;
    // True once a read or write found the line gone (hang-up); cleared by the next open.
    bool hungUp() const;

    // The baud rate applied by the last successful open (0 before).
    long baudRate() const;

    // "COM1" -> "/dev/ttyS0" (any number, any letter case; the device prefix \\.\ that
    // Windows settings may carry for COM10 and up is dropped), "/x" unchanged,
    // "ttyUSB0" -> "/dev/ttyUSB0".
    static std::string deviceName(const std::string& portName);
    // The rate as the standard text-to-integer conversion reads it (blanks, sign, digits;
    // no digits give 0); a number beyond the range of long saturates instead of overflowing.
    static long parseBaud(const std::string& baudText);
    // Total read time-out for n bytes at a rate; 0 for a rate that is not positive.
    static std::chrono::milliseconds readTimeout(std::uint32_t n, long baud);
    // Total write time-out for n bytes.
    static std::chrono::milliseconds writeTimeout(std::uint32_t n);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace sorbel
