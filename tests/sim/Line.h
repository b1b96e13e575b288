// Line: a test's own end of the serial line, opened with plain POSIX calls, as an outside
// program would use the simulated target. Every read is bounded by a time limit.
#pragma once

#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace sorbel::testing {

class Line {
public:
    Line() = default;
    ~Line() { close(); }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    bool open(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) {
            return false;
        }
        termios tio{};
        ::tcgetattr(fd_, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(fd_, TCSANOW, &tio);
        return true;
    }
    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    void write(const std::vector<std::uint8_t>& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                return;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    // Reads until count bytes have arrived or the limit has passed.
    std::vector<std::uint8_t> read(std::size_t count, std::chrono::milliseconds limit) {
        std::vector<std::uint8_t> got;
        lastReadFailed_ = false;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (got.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            std::uint8_t buffer[256];
            const std::size_t want = std::min(sizeof buffer, count - got.size());
            const ssize_t n = ::read(fd_, buffer, want);
            if (n <= 0) {
                lastReadFailed_ = true; // the line has gone
                break;
            }
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }
    // One answer byte, or -1 when none came within the limit.
    int answer(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        const auto got = read(1, limit);
        return got.empty() ? -1 : got[0];
    }
    bool lastReadFailed() const { return lastReadFailed_; }

private:
    int fd_ = -1;
    bool lastReadFailed_ = false;
};

// A framed command exactly as the loader expects it, built here independently of the
// engine's own framing.
inline std::vector<std::uint8_t> frame(std::uint8_t command, std::uint32_t address,
                                       const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> bytes{0x07,
                                    0x0E,
                                    static_cast<std::uint8_t>(data.size() + 5),
                                    command,
                                    static_cast<std::uint8_t>(address >> 24),
                                    static_cast<std::uint8_t>(address >> 16),
                                    static_cast<std::uint8_t>(address >> 8),
                                    static_cast<std::uint8_t>(address)};
    // Appended byte by byte: GCC 12 at -O2 warns falsely (array-bounds) on a range insert here.
    bytes.reserve(bytes.size() + data.size() + 1);
    for (std::uint8_t b : data) {
        bytes.push_back(b);
    }
    unsigned sum = 0;
    for (std::size_t i = 2; i < bytes.size(); ++i) {
        sum += bytes[i];
    }
    bytes.push_back(static_cast<std::uint8_t>(0x100 - (sum & 0xFF)));
    return bytes;
}

inline std::vector<std::uint8_t> resync() {
    std::vector<std::uint8_t> bytes(23, 0x00);
    bytes.push_back(0x07);
    bytes.push_back(0x07);
    return bytes;
}

inline std::vector<std::uint8_t> operator+(std::vector<std::uint8_t> a,
                                           const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace sorbel::testing
