// SerialPort: the one RS-232 link to the target loader, over POSIX termios.
//
// Contract (every call but abort() belongs to the one thread that owns the port, normally
// the download worker):
//  - open(portName, baudText): 1 when the device is open, exclusively ours (flock and
//    TIOCEXCL) and configured raw 8N1 at the rate, DTR raised, RTS low; 0 otherwise. A
//    second open while open returns 0 silently. Failures go to the message sink with the
//    texts "Communication Port Error.", "Unable to set the time-out parameters" or
//    "SerialPort error %d", the system's reason on a line of its own after them.
//  - close(): 1 when an open port was closed (line settings restored), 0 when it was not
//    open; "Port Closing Error." when the system refuses.
//  - read(buffer, n, got): blocks until n bytes arrived or the read time-out
//    n * (2000 / baud + 1) + 2000000 / baud + 1 ms ran out. Returns 1 with got bytes and,
//    when got > 0, a terminating zero at buffer[got] (the buffer holds n + 1 characters);
//    with got == 0 the buffer is untouched. Returns 0 after
//    "Reading of serial communication has problem." when the read fails or the line has
//    hung up (EIO, POLLHUP, end of file).
//  - readByte(byte): 1 byte under the same time-out; 0 on time-out or failure, byte
//    unchanged. A hung-up line is reported once with the read-failure message.
//  - write(data, n): returns the count written; blocks until the bytes have left the
//    host's output queue or 10 * n + 5000 ms have passed.
//  - purge(flags): discards queued input and/or output (purgeTx* / purgeRx* below).
//  - abort(): callable from any thread; wakes every blocking call at once and makes every
//    later read, readByte and write fail silently until the next successful open.
#pragma once

#include "serial/MessageSink.h"

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

    // The GUI's one process-wide port, built on first use.
    static SerialPort& instance();

    // Where failure messages go; nullptr drops them. Not owned.
    void setMessageSink(MessageSink* sink);

    int open(const std::string& portName, const std::string& baudText);
    int close();
    int isOpen() const;
    int read(char* buffer, std::uint32_t maxBytes, std::uint32_t& bytesRead);
    int readByte(std::uint8_t& byte);
    std::uint32_t write(const std::uint8_t* data, std::uint32_t length);
    void purge(unsigned flags);

    void abort();
    bool aborted() const;
    // True once a read found the line gone (hang-up); cleared by the next open.
    bool hungUp() const;

    // The baud rate applied by the last successful open (0 before).
    long baudRate() const;

    // "COM1" -> "/dev/ttyS0" (any number), "/x" unchanged, "ttyUSB0" -> "/dev/ttyUSB0".
    static std::string deviceName(const std::string& portName);
    // The rate as the standard text-to-integer conversion reads it (blanks, sign, digits).
    static long parseBaud(const std::string& baudText);
    // Total read time-out for n bytes at a rate (baud > 0).
    static std::chrono::milliseconds readTimeout(std::uint32_t n, long baud);
    // Total write time-out for n bytes.
    static std::chrono::milliseconds writeTimeout(std::uint32_t n);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace sorbel
