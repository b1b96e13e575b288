// SerialPort over POSIX termios; the contract is in SerialPort.h.
//
// Every wait is a poll() on the port together with an eventfd that abort() signals, against
// a deadline on the steady clock, so a blocked read, write or output drain wakes at once on
// abort and never outlives its time-out. VMIN 1 / VTIME 0: a read after poll() said
// readable returns what is there without blocking; VTIME plays no part in the time-outs.
#include "serial/SerialPort.h"

#include "serial/CustomBaud.h"
#include "serial/PortErrors.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace sorbel {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* textOpenError = "Communication Port Error.";
constexpr const char* textTimeoutError = "Unable to set the time-out parameters";
constexpr const char* textReadError = "Reading of serial communication has problem.";
constexpr const char* textCloseError = "Port Closing Error.";

// Time-out rule of the loader link, in milliseconds.
constexpr long readMultiplierDividend = 2000;
constexpr long readConstantDividend = 2000000;
constexpr long writeMultiplierMs = 10;
constexpr long writeConstantMs = 5000;

// While waiting for the output queue to empty, look again at least this often, and sleep at
// least this long between looks.
constexpr std::chrono::microseconds maxDrainPause{20000};
constexpr std::chrono::microseconds minDrainPause{50};
// A driver that settles on a rate further than this (in per cent) from the one asked for
// has refused it: the target would not understand the line.
constexpr long baudTolerancePercent = 2;

struct StandardRate {
    long baud;
    speed_t constant;
};

constexpr StandardRate standardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

const StandardRate* findStandardRate(long baud) {
    for (const auto& rate : standardRates) {
        if (rate.baud == baud) {
            return &rate;
        }
    }
    return nullptr;
}

std::string errnoText(int error) {
    return std::strerror(error);
}

// A name or value quoted for a message, control characters shown as \xNN.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

bool hasControlCharacter(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char ch) {
        auto c = static_cast<unsigned char>(ch);
        return c < 0x20 || c == 0x7F;
    });
}

// "COM12" -> 12; 0 when name is not COM followed by a decimal number of at least 1.
unsigned long long comNumber(const std::string& name) {
    if (name.size() < 4) {
        return 0;
    }
    auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    if (upper(name[0]) != 'C' || upper(name[1]) != 'O' || upper(name[2]) != 'M') {
        return 0;
    }
    unsigned long long n = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        char c = name[i];
        if (c < '0' || c > '9') {
            return 0;
        }
        unsigned digit = static_cast<unsigned>(c - '0');
        if (n > (std::numeric_limits<unsigned long long>::max() - digit) / 10) {
            return 0;
        }
        n = n * 10 + digit;
    }
    return n;
}

} // namespace

struct SerialPort::Impl {
    enum class Wait { ready, timedOut, aborted, failed };

    int fd = -1;
    int wakeFd = -1;
    int wakeError = 0;
    int openFlag = 0;
    long baud = 0;
    std::string path;
    std::string label; // the port as messages name it
    termios saved{};
    MessageSink* sink = nullptr;
    TrafficProbe probe = nullptr;
    void* probeContext = nullptr;
    DiscoveryRoots discoveryRoots; // where the message about an absent port looks

    // abort() counts; an open that succeeds marks every abort counted before it as dealt
    // with. Aborted while the two differ.
    std::atomic<unsigned long> abortCount{0};
    std::atomic<unsigned long> abortCleared{0};
    std::atomic<bool> hungUp{false};
    bool hangUpReported = false;
    // False while our output queue is known to be empty: the last write drained it (or an open
    // or purge flushed it). A purge then has no output to drop and need not ask.
    bool outputMayBeQueued = false;

    bool aborted() const { return abortCount.load() != abortCleared.load(); }

    void report(const std::string& first, const std::string& reason) const {
        if (sink == nullptr) {
            return;
        }
        sink->showMessage(reason.empty() ? first : first + "\n" + reason);
    }

    std::string hangUpReason() const {
        return label + ": the line has hung up (the device was unplugged or closed)";
    }

    void markHungUp() { hungUp.store(true); }

    void drainWake() const {
        std::uint64_t count = 0;
        while (::read(wakeFd, &count, sizeof count) > 0) {
        }
    }

    // Waits until the port reports one of events (or an error condition), the deadline
    // passes, or abort() is called. revents receives the port's poll result.
    Wait waitPort(short events, Clock::time_point deadline, short& revents, int& error) const {
        for (;;) {
            if (aborted()) {
                return Wait::aborted;
            }
            auto now = Clock::now();
            if (now >= deadline) {
                return Wait::timedOut;
            }
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
            int timeout = static_cast<int>(std::min<long long>(left, INT_MAX));
            pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
            int r = ::poll(fds, 2, timeout);
            if (r < 0) {
                if (errno == EINTR) {
                    continue;
                }
                error = errno;
                return Wait::failed;
            }
            if ((fds[1].revents & POLLIN) != 0) {
                if (aborted()) {
                    return Wait::aborted;
                }
                drainWake(); // left over from an abort that an open has dealt with
            }
            if (fds[0].revents != 0) {
                revents = fds[0].revents;
                return Wait::ready;
            }
        }
    }

    // Sleeps for pause or until abort(); false when aborted.
    bool pauseUnlessAborted(std::chrono::microseconds pause) const {
        if (aborted()) {
            return false;
        }
        pollfd wake{wakeFd, POLLIN, 0};
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(pause);
        const timespec time{static_cast<time_t>(seconds.count()),
                            static_cast<long>(std::chrono::nanoseconds(pause - seconds).count())};
        int r = ::ppoll(&wake, 1, &time, nullptr);
        if (r > 0 && aborted()) {
            return false;
        }
        if (r > 0) {
            drainWake();
        }
        return !aborted();
    }

    // Waits until the output queue is empty, the deadline passes or abort() is called;
    // returns how many bytes are still queued, -1 when the driver cannot tell.
    int drainOutput(Clock::time_point deadline) const {
        for (;;) {
            int queued = 0;
            if (::ioctl(fd, TIOCOUTQ, &queued) != 0) {
                return -1;
            }
            if (queued <= 0) {
                return 0;
            }
            auto now = Clock::now();
            if (now >= deadline) {
                return queued;
            }
            // Ten bits a byte on the line: sleep as long as the queued bytes need, to the
            // microsecond, so that a packet's write ends when its last byte has left.
            auto needed = std::chrono::microseconds(static_cast<long long>(queued) * 10 * 1000000 /
                                                    std::max(baud, 1L));
            auto pause = std::clamp(needed, minDrainPause, maxDrainPause);
            pause = std::min(pause, std::chrono::ceil<std::chrono::microseconds>(deadline - now));
            if (!pauseUnlessAborted(pause)) {
                return queued;
            }
        }
    }

    // Closes the descriptor; on the way out the line settings found at open come back and
    // the port is no longer exclusive. Output that write() did not report sent is dropped,
    // so closing never waits on it. Returns the errno of a failed close, else 0.
    int closeDescriptor() {
        int error = 0;
        ::tcflush(fd, TCOFLUSH);
        ::ioctl(fd, TIOCNXCL);
        ::tcsetattr(fd, TCSADRAIN, &saved);
        if (::close(fd) != 0) {
            error = errno;
        }
        fd = -1;
        return error;
    }

    // Undoes a half-done open. Before the lock is ours (configured false) the line belongs
    // to whoever holds it: its settings and its exclusivity are left alone.
    void abandonOpen(bool configured) {
        if (configured) {
            ::tcsetattr(fd, TCSANOW, &saved);
            ::ioctl(fd, TIOCNXCL);
        }
        ::close(fd);
        fd = -1;
    }
};

SerialPort::SerialPort() : impl_(std::make_unique<Impl>()) {
    impl_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl_->wakeFd < 0) {
        impl_->wakeError = errno;
    }
}

SerialPort::~SerialPort() {
    if (impl_->openFlag == 1) {
        impl_->openFlag = 0;
        impl_->closeDescriptor();
    }
    if (impl_->wakeFd >= 0) {
        ::close(impl_->wakeFd);
    }
}

SerialPort& SerialPort::instance() {
    // Never destroyed: a worker still running while the process ends never meets a port
    // that static destruction took away. The system closes the device at exit.
    static SerialPort* port = new SerialPort;
    return *port;
}

void SerialPort::setMessageSink(MessageSink* sink) {
    impl_->sink = sink;
}

void SerialPort::setDiscoveryRoots(const DiscoveryRoots& roots) {
    impl_->discoveryRoots = roots;
}

std::string SerialPort::deviceName(const std::string& portName) {
    std::string name = portName;
    // Settings written on Windows may carry the device-namespace prefix for COM10 and up.
    if (name.rfind("\\\\.\\", 0) == 0) {
        name.erase(0, 4);
    }
    if (auto n = comNumber(name); n >= 1) {
        return "/dev/ttyS" + std::to_string(n - 1);
    }
    if (!portName.empty() && portName[0] == '/') {
        return portName;
    }
    return "/dev/" + portName;
}

long SerialPort::parseBaud(const std::string& baudText) {
    std::size_t i = 0;
    auto isBlank = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    };
    while (i < baudText.size() && isBlank(baudText[i])) {
        ++i;
    }
    bool negative = false;
    if (i < baudText.size() && (baudText[i] == '+' || baudText[i] == '-')) {
        negative = baudText[i] == '-';
        ++i;
    }
    // Accumulated as a negative number so that LONG_MIN fits; saturates instead of
    // overflowing.
    long value = 0;
    constexpr long lowest = std::numeric_limits<long>::min();
    for (; i < baudText.size() && baudText[i] >= '0' && baudText[i] <= '9'; ++i) {
        long digit = baudText[i] - '0';
        if (value < (lowest + digit) / 10) {
            value = lowest;
        } else {
            value = value * 10 - digit;
        }
    }
    if (negative) {
        return value;
    }
    return value == lowest ? std::numeric_limits<long>::max() : -value;
}

std::chrono::milliseconds SerialPort::readTimeout(std::uint32_t n, long baud) {
    if (baud <= 0) {
        return std::chrono::milliseconds{0};
    }
    long long multiplier = readMultiplierDividend / baud + 1;
    long long constant = readConstantDividend / baud + 1;
    return std::chrono::milliseconds{static_cast<long long>(n) * multiplier + constant};
}

std::chrono::milliseconds SerialPort::writeTimeout(std::uint32_t n) {
    return std::chrono::milliseconds{static_cast<long long>(n) * writeMultiplierMs +
                                     writeConstantMs};
}

int SerialPort::open(const std::string& portName, const std::string& baudText) {
    Impl& p = *impl_;
    if (p.openFlag == 1) {
        return 0;
    }
    const unsigned long abortsBefore = p.abortCount.load();

    if (portName.empty()) {
        p.report(textOpenError, "No port is named: the Port setting is empty.");
        return 0;
    }
    if (hasControlCharacter(portName)) {
        p.report(textOpenError,
                 "The port name " + quoted(portName) + " contains a control character.");
        return 0;
    }
    const std::string path = deviceName(portName);
    // Blanks around a name would be invisible in a message: quote such a name.
    const bool blankAtEnd = std::isspace(static_cast<unsigned char>(portName.front())) != 0 ||
                            std::isspace(static_cast<unsigned char>(portName.back())) != 0;
    const std::string shown = blankAtEnd ? quoted(portName) : portName;
    const std::string label = path == portName && !blankAtEnd ? path : shown + " (" + path + ")";

    // The time-outs divide by the rate: refuse a rate that is not positive before anything
    // else, and before the device is touched.
    const long baud = parseBaud(baudText);
    if (baud <= 0) {
        p.report(textTimeoutError,
                 label + ": the baud rate " + quoted(baudText) + " is not a positive number.");
        return 0;
    }
    if (p.wakeFd < 0) {
        p.report(textOpenError, label +
                                    ": cannot create the descriptor that wakes a blocked read (" +
                                    errnoText(p.wakeError) + ")");
        return 0;
    }

    // Non-blocking so that the open does not wait for a carrier, and so it stays.
    p.fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (p.fd < 0) {
        int e = errno;
        std::string reason;
        if (e == EBUSY) {
            reason = busyReason(label);
        } else if (e == EACCES || e == EPERM) {
            reason = permissionReason(label, deviceGroup(path));
        } else if (isAbsentError(e)) {
            reason = absentReason(label, errnoText(e), discoverPorts(p.discoveryRoots));
        } else {
            reason = label + ": " + errnoText(e);
        }
        p.report(textOpenError, reason);
        return 0;
    }
    // The lock first, before any setting is touched: another program's line stays as it is.
    if (::flock(p.fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        p.abandonOpen(false);
        p.report(textOpenError, e == EWOULDBLOCK
                                    ? busyReason(label)
                                    : label + ": cannot lock it (" + errnoText(e) + ")");
        return 0;
    }
    if (::tcgetattr(p.fd, &p.saved) != 0) {
        int e = errno;
        p.abandonOpen(false);
        p.report(textOpenError, label + " is not a serial port (" + errnoText(e) + ")");
        return 0;
    }
    ::ioctl(p.fd, TIOCEXCL);

    // DTR and RTS low while the line is configured; a pseudo-terminal refuses these calls.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(p.fd, TIOCMBIC, &lines);
    ::tcflush(p.fd, TCIOFLUSH);

    termios tio = p.saved;
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK | IUCLC | IMAXBEL);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    const StandardRate* standard = findStandardRate(baud);
    if (standard != nullptr) {
        ::cfsetispeed(&tio, standard->constant);
        ::cfsetospeed(&tio, standard->constant);
    }
    if (::tcsetattr(p.fd, TCSANOW, &tio) != 0) {
        int e = errno;
        p.abandonOpen(true);
        p.report("SerialPort error " + std::to_string(e),
                 label + ": the line settings were refused (" + errnoText(e) + ")");
        return 0;
    }
    // tcsetattr succeeds when any part was applied: check that the rate is the one asked.
    int rateError = 0;
    std::string rateReason;
    if (standard != nullptr) {
        termios check{};
        if (::tcgetattr(p.fd, &check) != 0) {
            rateError = errno;
            rateReason = errnoText(rateError);
        } else if (::cfgetospeed(&check) != standard->constant) {
            rateError = EINVAL;
            rateReason = "the driver chose another rate";
        }
    } else if (static_cast<unsigned long>(baud) > std::numeric_limits<speed_t>::max()) {
        rateError = EINVAL;
        rateReason = "too high";
    } else {
        unsigned long actual = 0;
        rateError = detail::setCustomBaud(p.fd, static_cast<unsigned long>(baud), actual);
        if (rateError != 0) {
            rateReason = errnoText(rateError);
        } else {
            long difference = std::labs(static_cast<long>(actual) - baud);
            if (difference * 100 > baud * baudTolerancePercent) {
                rateError = EINVAL;
                rateReason = "the driver offers " + std::to_string(actual) + " baud instead";
            }
        }
    }
    if (rateError != 0) {
        p.abandonOpen(true);
        p.report("SerialPort error " + std::to_string(rateError),
                 label + ": the driver cannot run at " + std::to_string(baud) + " baud (" +
                     rateReason + ")");
        return 0;
    }
    ::tcflush(p.fd, TCIOFLUSH);
    int dtr = TIOCM_DTR;
    ::ioctl(p.fd, TIOCMBIS, &dtr);

    p.path = path;
    p.label = label;
    p.baud = baud;
    p.hungUp.store(false);
    p.hangUpReported = false;
    p.outputMayBeQueued = false;
    p.drainWake();
    p.abortCleared.store(abortsBefore); // an abort that came during this open still holds
    p.openFlag = 1;
    return 1;
}

int SerialPort::close() {
    Impl& p = *impl_;
    if (p.openFlag != 1) {
        return 0;
    }
    p.openFlag = 0;
    if (int e = p.closeDescriptor(); e != 0) {
        p.report(textCloseError, p.label + ": " + errnoText(e));
        return 0;
    }
    return 1;
}

int SerialPort::isOpen() const {
    return impl_->openFlag;
}

int SerialPort::read(char* buffer, std::uint32_t maxBytes, std::uint32_t& bytesRead) {
    Impl& p = *impl_;
    bytesRead = 0;
    if (p.aborted()) {
        return 0;
    }
    if (p.openFlag != 1) {
        p.report(textReadError, "The port is not open.");
        return 0;
    }
    if (p.hungUp.load()) {
        p.hangUpReported = true;
        p.report(textReadError, p.hangUpReason());
        return 0;
    }
    const auto deadline = Clock::now() + readTimeout(maxBytes, p.baud);
    std::uint32_t got = 0;
    int result = 1;
    std::string problem;
    while (got < maxBytes) {
        short revents = 0;
        int error = 0;
        auto wait = p.waitPort(POLLIN, deadline, revents, error);
        if (wait == Impl::Wait::timedOut) {
            break;
        }
        if (wait == Impl::Wait::aborted) {
            result = 0;
            break;
        }
        if (wait == Impl::Wait::failed) {
            result = 0;
            problem = p.label + ": " + errnoText(error);
            break;
        }
        if ((revents & POLLIN) != 0) {
            ssize_t n = ::read(p.fd, buffer + got, maxBytes - got);
            if (n > 0) {
                got += static_cast<std::uint32_t>(n);
                continue;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            if (n < 0 && errno != EIO) {
                result = 0;
                problem = p.label + ": " + errnoText(errno);
                break;
            }
        }
        // End of file after poll() said readable, EIO, or a hang-up or error condition.
        p.markHungUp();
        p.hangUpReported = true;
        result = 0;
        problem = p.hangUpReason();
        break;
    }
    bytesRead = got;
    if (got > 0) {
        buffer[got] = '\0';
    }
    if (result == 0 && !problem.empty()) {
        p.report(textReadError, problem);
    }
    return result;
}

int SerialPort::readByte(std::uint8_t& byte) {
    Impl& p = *impl_;
    if (p.aborted() || p.openFlag != 1) {
        return 0;
    }
    auto reportHangUpOnce = [&p] {
        if (!p.hangUpReported) {
            p.hangUpReported = true;
            p.report(textReadError, p.hangUpReason());
        }
    };
    if (p.hungUp.load()) {
        reportHangUpOnce();
        return 0;
    }
    const auto deadline = Clock::now() + readTimeout(1, p.baud);
    for (;;) {
        short revents = 0;
        int error = 0;
        if (p.waitPort(POLLIN, deadline, revents, error) != Impl::Wait::ready) {
            return 0;
        }
        if ((revents & POLLIN) != 0) {
            std::uint8_t c = 0;
            ssize_t n = ::read(p.fd, &c, 1);
            if (n == 1) {
                byte = c;
                if (p.probe != nullptr) {
                    p.probe(p.probeContext, Traffic::byteRead);
                }
                return 1;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            if (n < 0 && errno != EIO) {
                return 0;
            }
        }
        p.markHungUp();
        reportHangUpOnce();
        return 0;
    }
}

std::uint32_t SerialPort::write(const std::uint8_t* data, std::uint32_t length) {
    Impl& p = *impl_;
    if (p.aborted() || p.openFlag != 1 || length == 0) {
        return 0;
    }
    const auto deadline = Clock::now() + writeTimeout(length);
    std::uint32_t done = 0;
    while (done < length) {
        ssize_t n = ::write(p.fd, data + done, length - done);
        if (n > 0) {
            done += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            short revents = 0;
            int error = 0;
            if (p.waitPort(POLLOUT, deadline, revents, error) != Impl::Wait::ready) {
                break;
            }
            if ((revents & POLLOUT) == 0) {
                p.markHungUp();
                break;
            }
            continue;
        }
        if (n < 0 && errno == EIO) {
            p.markHungUp();
        }
        break;
    }
    // Only what has left the output queue counts as written: a purge right after must not
    // discard bytes that write reported sent.
    const int queued = done > 0 ? p.drainOutput(deadline) : 0;
    if (done > 0) {
        p.outputMayBeQueued = queued != 0;
    }
    if (p.probe != nullptr) {
        p.probe(p.probeContext, Traffic::written);
    }
    return done - std::min(done, static_cast<std::uint32_t>(std::max(queued, 0)));
}

void SerialPort::purge(unsigned flags) {
    Impl& p = *impl_;
    if (p.openFlag != 1) {
        return;
    }
    bool input = (flags & (purgeRxAbort | purgeRxClear)) != 0;
    bool output = (flags & (purgeTxAbort | purgeTxClear)) != 0;
    // write() returns only once its bytes have left the output queue, so there is output to
    // drop only after a write that timed out. Flushing an empty queue is not harmless: on a
    // pseudo-terminal it also throws away bytes the other end has not read yet, such as a
    // resynchronisation frame written just before this purge.
    if (output && p.outputMayBeQueued) {
        int queued = 0;
        const bool known = ::ioctl(p.fd, TIOCOUTQ, &queued) == 0;
        output = !known || queued > 0;
        p.outputMayBeQueued = output;
    } else {
        output = false;
    }
    if (input && output) {
        ::tcflush(p.fd, TCIOFLUSH);
    } else if (input) {
        ::tcflush(p.fd, TCIFLUSH);
    } else if (output) {
        ::tcflush(p.fd, TCOFLUSH);
    }
    if (output) {
        p.outputMayBeQueued = false;
    }
}

void SerialPort::setTrafficProbe(TrafficProbe probe, void* context) {
    impl_->probe = probe;
    impl_->probeContext = context;
}

void SerialPort::abort() {
    impl_->abortCount.fetch_add(1);
    if (impl_->wakeFd >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] auto r = ::write(impl_->wakeFd, &one, sizeof one);
    }
}

bool SerialPort::aborted() const {
    return impl_->aborted();
}

bool SerialPort::hungUp() const {
    return impl_->hungUp.load();
}

long SerialPort::baudRate() const {
    return impl_->baud;
}

} // namespace sorbel
