#include "sim/SimulatedTarget.h"

#include "loader/CommandPacket.h"
#include "sim/PacketParser.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <random>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace sorbel::sim {

namespace {

constexpr std::size_t readChunk = 256;
constexpr std::uint8_t massErasePages = 0;
constexpr auto outputPollStep = std::chrono::milliseconds(50);
// A long wait looks at the stop request at least this often.
constexpr auto stopPollStep = std::chrono::milliseconds(20);
// How long before an output is due its wait stops sleeping and starts yielding.
constexpr auto exactWaitMargin = std::chrono::microseconds(150);
constexpr auto waitPollStep = std::chrono::milliseconds(10);
constexpr auto drainLimit = std::chrono::milliseconds(500);
constexpr auto drainSettleTime = std::chrono::milliseconds(100);
constexpr auto drainStep = std::chrono::milliseconds(2);

std::string systemReason(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

void makeRaw(int fd, long baud) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        return;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (baud > 0) {
        // Only the standard rates a real line needs; a pseudo-terminal ignores the speed.
        static const std::pair<long, speed_t> rates[] = {
            {1200, B1200},     {2400, B2400},     {4800, B4800},    {9600, B9600},
            {19200, B19200},   {38400, B38400},   {57600, B57600},  {115200, B115200},
            {230400, B230400}, {460800, B460800}, {921600, B921600}};
        for (const auto& [rate, speed] : rates) {
            if (rate == baud) {
                cfsetispeed(&tio, speed);
                cfsetospeed(&tio, speed);
            }
        }
    }
    tcsetattr(fd, TCSANOW, &tio);
}

std::uint8_t rotateBack(std::uint8_t b) {
    return static_cast<std::uint8_t>((b >> 3) | (b << 5));
}

char commandLetter(std::uint8_t c) {
    return (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
}

} // namespace

struct SimulatedTarget::Impl {
    TargetOptions options;

    // State, under mutex.
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<std::uint8_t> flash = std::vector<std::uint8_t>(targetFlashSize, 0xFF);
    std::vector<ReceivedPacket> packets;
    int wakeBytes = 0;
    int resyncs = 0;
    bool runStarted = false;
    bool hungUp = false;
    std::uint64_t bytesProgrammed = 0;
    std::vector<bool> written = std::vector<bool>(targetFlashSize, false); // since last erase
    int answersSent = 0;
    std::chrono::steady_clock::time_point lastSend{};
    std::string path;
    int masterFd = -1;    // our end of the line; also changed under outputMutex
    int keptSlaveFd = -1; // keeps the pseudo-terminal up while SORBEL has it closed

    // Output is serialised so that sendRaw never splits an answer.
    std::mutex outputMutex;

    // Loader thread only.
    PacketParser parser;
    std::mt19937_64 random;
    int eraseRefusals = 0;
    std::chrono::steady_clock::time_point inputClock{};
    std::chrono::steady_clock::time_point outputClock{};

    std::atomic<bool> stopRequested{false};
    int stopFd = -1;
    std::thread thread;

    explicit Impl(TargetOptions o) : options(std::move(o)), random(options.seed) {}

    std::chrono::nanoseconds byteTime() const {
        if (options.baud <= 0) {
            return std::chrono::nanoseconds{0};
        }
        return std::chrono::nanoseconds{10'000'000'000LL / options.baud};
    }

    void notify() {
        std::lock_guard lock(mutex);
        changed.notify_all();
    }

    // Sleeps until a time on the steady clock, waking early when stop is asked for.
    void waitUntil(std::chrono::steady_clock::time_point until) {
        for (auto now = std::chrono::steady_clock::now(); !stopRequested && now < until;
             now = std::chrono::steady_clock::now()) {
            std::this_thread::sleep_until(std::min(until, now + stopPollStep));
        }
    }

    // The same, but on time to a few microseconds, as a UART sends: it sleeps until shortly
    // before and spends the rest yielding, since a wake-up from sleep comes late by the
    // scheduler's latency (tens of microseconds, far more on a busy machine).
    void waitUntilExactly(std::chrono::steady_clock::time_point until) {
        waitUntil(until - exactWaitMargin);
        while (!stopRequested && std::chrono::steady_clock::now() < until) {
            std::this_thread::yield();
        }
    }

    // Writes bytes to SORBEL. With pacing, each byte goes out when its ten bits have crossed
    // the line, the first one starting at `start` at the earliest (or as soon as the line is
    // free); without pacing all go out at once, at `start` at the earliest. Times are those of
    // the modelled line, not of this thread: a thread that woke late catches up instead of
    // adding its lateness to the line. Returns when the last write began (the moment the
    // bytes could reach SORBEL), or the time of the call when nothing was written.
    std::chrono::steady_clock::time_point
    send(const std::vector<std::uint8_t>& bytes,
         std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now()) {
        std::lock_guard out(outputMutex);
        const auto perByte = byteTime();
        auto writing = std::chrono::steady_clock::now();
        if (perByte.count() == 0) {
            waitUntilExactly(start);
        }
        for (std::size_t done = 0; done < bytes.size() && !stopRequested;) {
            // Paced output leaves one byte at a time, each after its ten bits.
            std::size_t chunk = bytes.size() - done;
            if (perByte.count() > 0) {
                outputClock = std::max(outputClock, start) + perByte;
                waitUntilExactly(outputClock);
                chunk = 1;
            }
            int fd = -1;
            {
                std::lock_guard lock(mutex);
                fd = masterFd;
            }
            if (fd < 0) {
                return writing;
            }
            writing = std::chrono::steady_clock::now();
            const ssize_t n = ::write(fd, bytes.data() + done, chunk);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                std::lock_guard lock(mutex);
                lastSend = std::chrono::steady_clock::now();
            } else if (n < 0 && errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, static_cast<int>(outputPollStep.count()));
            } else if (n < 0 && errno != EINTR) {
                return writing;
            }
        }
        return writing;
    }

    std::chrono::steady_clock::time_point
    sendWithNoise(std::vector<std::uint8_t> bytes, std::chrono::steady_clock::time_point start) {
        if (options.noiseRate > 0 &&
            std::uniform_real_distribution<double>(0, 1)(random) < options.noiseRate) {
            auto noise =
                static_cast<std::uint8_t>(std::uniform_int_distribution<int>(0, 255)(random));
            if (noise == ackByte) {
                noise = nakByte;
            }
            bytes.insert(bytes.begin(), noise);
        }
        return send(bytes, start);
    }

    void sendId(std::chrono::steady_clock::time_point start) {
        if (!options.idText.empty()) {
            sendWithNoise(std::vector<std::uint8_t>(options.idText.begin(), options.idText.end()),
                          start);
        }
    }

    int pendingForHost() const {
        std::lock_guard lock(mutex);
        int count = 0;
        if (keptSlaveFd < 0 || ::ioctl(keptSlaveFd, FIONREAD, &count) != 0) {
            return -1;
        }
        return count;
    }

    // Lets what was sent reach SORBEL before the line goes: closing our end discards
    // whatever SORBEL has not read yet, and what was just written takes a moment to show
    // on SORBEL's side of a pseudo-terminal. Waits only while the last output is recent
    // (drainLimit after it), so a SORBEL that stopped reading long ago costs nothing.
    void drainToHost() {
        std::chrono::steady_clock::time_point sent;
        {
            std::lock_guard lock(mutex);
            sent = lastSend;
        }
        bool seen = false;
        for (;;) {
            const auto now = std::chrono::steady_clock::now();
            const int pending = pendingForHost();
            seen = seen || pending > 0;
            if (pending < 0 || now - sent >= drainLimit ||
                (pending == 0 && (seen || now - sent >= drainSettleTime))) {
                return;
            }
            std::this_thread::sleep_for(drainStep);
        }
    }

    void closeLine() {
        std::lock_guard out(outputMutex);
        std::lock_guard lock(mutex);
        if (masterFd >= 0) {
            ::close(masterFd);
            masterFd = -1;
        }
        if (keptSlaveFd >= 0) {
            ::close(keptSlaveFd);
            keptSlaveFd = -1;
        }
    }

    // Carries out a good packet on the flash. Returns true when it is acknowledged, and
    // the time the chip takes for it.
    bool execute(const ParsedPacket& p, std::chrono::nanoseconds& busy) {
        const std::size_t n = p.data.size();
        switch (p.command) {
        case commandErase: {
            if (n != 1) {
                return false;
            }
            if (options.eraseAckAfter < 0 || eraseRefusals < options.eraseAckAfter) {
                ++eraseRefusals;
                return false;
            }
            eraseRefusals = 0;
            const std::uint8_t pages = p.data[0];
            std::lock_guard lock(mutex);
            if (pages == massErasePages) {
                std::fill(flash.begin(), flash.begin() + loaderAreaStart, 0xFF);
                std::fill(written.begin(), written.begin() + loaderAreaStart, false);
                busy = options.massEraseTime;
                return true;
            }
            const std::uint64_t end =
                std::uint64_t{p.address} + std::uint64_t{pages} * targetPageSize;
            if (p.address % targetPageSize != 0 || end > loaderAreaStart) {
                return false;
            }
            std::fill(flash.begin() + p.address, flash.begin() + static_cast<std::ptrdiff_t>(end),
                      0xFF);
            std::fill(written.begin() + p.address,
                      written.begin() + static_cast<std::ptrdiff_t>(end), false);
            busy = options.pageEraseTime * pages;
            return true;
        }
        case commandWrite: {
            if (std::uint64_t{p.address} + n > loaderAreaStart) {
                return false;
            }
            std::lock_guard lock(mutex);
            for (std::size_t i = 0; i < n; ++i) {
                flash[p.address + i] &= p.data[i]; // flash bits can only be cleared
                if (!written[p.address + i]) {
                    written[p.address + i] = true;
                    ++bytesProgrammed;
                }
            }
            busy = options.writeByteTime * static_cast<long>(n);
            return true;
        }
        case commandVerify: {
            if (std::uint64_t{p.address} + n > targetFlashSize) {
                return false;
            }
            std::lock_guard lock(mutex);
            for (std::size_t i = 0; i < n; ++i) {
                if (flash[p.address + i] != rotateBack(p.data[i])) {
                    return false;
                }
            }
            return true;
        }
        case commandRun: {
            std::lock_guard lock(mutex);
            runStarted = true;
            return true;
        }
        default:
            return false;
        }
    }

    // Returns false when the line has been hung up. readAt: when its last byte was read here;
    // received: when that byte had crossed the line.
    bool handlePacket(const ParsedPacket& p, std::chrono::steady_clock::time_point readAt,
                      std::chrono::steady_clock::time_point received) {
        ReceivedPacket record;
        record.command = p.command;
        record.address = p.address;
        record.data = p.data;
        record.checksumOk = p.checksumOk;
        record.read = readAt;
        record.received = received;
        {
            std::lock_guard lock(mutex);
            record.number = static_cast<int>(packets.size()) + 1;
        }
        // Both draws are made for every packet so that the sequence depends only on the
        // number of packets, not on which knobs are set.
        std::uniform_real_distribution<double> uniform(0, 1);
        const bool silentDraw = uniform(random) < options.silentRate;
        const bool nakDraw = uniform(random) < options.nakRate;

        std::chrono::nanoseconds busy{0};
        bool silent = false;
        bool good = false;
        if (!p.checksumOk) {
            good = false;
        } else if (options.silentOn.count(record.number) != 0 || silentDraw) {
            silent = true;
        } else if (options.nakOn.count(record.number) != 0 || nakDraw) {
            good = false;
        } else {
            good = execute(p, busy);
        }
        record.answer = silent ? -1 : (good ? ackByte : options.wrongAnswer);
        const int number = record.number;
        {
            std::lock_guard lock(mutex);
            packets.push_back(std::move(record));
            changed.notify_all();
        }
        std::chrono::steady_clock::time_point answered{};
        if (!silent) {
            // The chip starts on the command once its last byte is in, not when this thread
            // got round to it.
            answered = sendWithNoise({good ? ackByte : options.wrongAnswer},
                                     received + busy + options.ackDelay);
        }
        {
            std::lock_guard lock(mutex);
            packets[static_cast<std::size_t>(number) - 1].answered = answered;
            ++answersSent;
            changed.notify_all();
        }
        if (options.hangUpAfter >= 0 && number >= options.hangUpAfter) {
            drainToHost();
            closeLine();
            std::lock_guard lock(mutex);
            hungUp = true;
            changed.notify_all();
            return false;
        }
        return true;
    }

    void run() {
        // Answers are due at exact times of the modelled line: sleep no longer than asked.
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        if (options.idUnprompted) {
            sendId(std::chrono::steady_clock::now());
        }
        std::uint8_t buffer[readChunk];
        const auto perByte = byteTime();
        while (!stopRequested) {
            int fd = -1;
            {
                std::lock_guard lock(mutex);
                fd = masterFd;
            }
            if (fd < 0) {
                return;
            }
            pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (stopRequested || (fds[1].revents & POLLIN) != 0) {
                return;
            }
            if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            if (n <= 0) {
                // The device went away (only a named device can; the kept slave keeps a
                // pseudo-terminal up).
                closeLine();
                std::lock_guard lock(mutex);
                hungUp = true;
                changed.notify_all();
                return;
            }
            // With pacing each byte has crossed the line ten bits after the one before it
            // (or after it arrived here). Nothing waits for bytes that cause no event: only
            // what the target does in answer is held back until its byte is in.
            const auto arrived = std::chrono::steady_clock::now();
            for (ssize_t i = 0; i < n && !stopRequested; ++i) {
                auto byteIn = arrived;
                if (perByte.count() > 0) {
                    inputClock = std::max(inputClock, arrived) + perByte;
                    byteIn = inputClock;
                }
                switch (parser.feed(buffer[i])) {
                case PacketParser::Event::none:
                    break;
                case PacketParser::Event::wake: {
                    waitUntil(byteIn);
                    {
                        std::lock_guard lock(mutex);
                        ++wakeBytes;
                        changed.notify_all();
                    }
                    sendId(byteIn);
                    break;
                }
                case PacketParser::Event::resync: {
                    std::lock_guard lock(mutex);
                    ++resyncs;
                    changed.notify_all();
                    break;
                }
                case PacketParser::Event::packet:
                    waitUntil(byteIn);
                    if (!handlePacket(parser.packet(), arrived, byteIn)) {
                        return;
                    }
                    break;
                }
            }
        }
    }

    void endThread() {
        stopRequested = true;
        if (stopFd >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] auto n = ::write(stopFd, &one, sizeof one);
        }
        if (thread.joinable()) {
            thread.join();
        }
        if (stopFd >= 0) {
            ::close(stopFd);
            stopFd = -1;
        }
    }

    bool open(std::string& error) {
        int master = -1;
        int slave = -1;
        std::string name;
        if (options.device.empty()) {
            master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (master < 0) {
                error = systemReason("posix_openpt");
                return false;
            }
            if (::grantpt(master) != 0 || ::unlockpt(master) != 0) {
                error = systemReason("unlockpt");
                ::close(master);
                return false;
            }
            char slaveName[128] = {};
            if (::ptsname_r(master, slaveName, sizeof slaveName) != 0) {
                error = systemReason("ptsname");
                ::close(master);
                return false;
            }
            name = slaveName;
            slave = ::open(slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (slave < 0) {
                error = systemReason(name);
                ::close(master);
                return false;
            }
            // Raw on the shared line discipline, so that no byte is translated either way.
            makeRaw(slave, 0);
        } else {
            name = options.device;
            master = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
            if (master < 0) {
                error = systemReason(name);
                return false;
            }
            makeRaw(master, options.baud);
        }
        const int flags = ::fcntl(master, F_GETFL);
        ::fcntl(master, F_SETFL, flags | O_NONBLOCK);
        stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (stopFd < 0) {
            error = systemReason("eventfd");
            ::close(master);
            if (slave >= 0) {
                ::close(slave);
            }
            return false;
        }
        std::lock_guard lock(mutex);
        masterFd = master;
        keptSlaveFd = slave;
        path = name;
        return true;
    }
};

SimulatedTarget::SimulatedTarget(TargetOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

SimulatedTarget::~SimulatedTarget() {
    stop();
}

bool SimulatedTarget::start(std::string& error) {
    if (impl_->thread.joinable()) {
        error = "the simulated target is already running";
        return false;
    }
    if (!impl_->open(error)) {
        return false;
    }
    impl_->stopRequested = false;
    impl_->thread = std::thread([this] { impl_->run(); });
    return true;
}

void SimulatedTarget::stop() {
    impl_->endThread();
    impl_->drainToHost();
    impl_->closeLine();
    impl_->notify();
}

void SimulatedTarget::hangUp() {
    bool wasOpen = false;
    {
        std::lock_guard lock(impl_->mutex);
        wasOpen = impl_->masterFd >= 0;
    }
    impl_->endThread();
    impl_->closeLine();
    std::lock_guard lock(impl_->mutex);
    impl_->hungUp = impl_->hungUp || wasOpen;
    impl_->changed.notify_all();
}

std::string SimulatedTarget::portPath() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->path;
}

void SimulatedTarget::sendRaw(const std::vector<std::uint8_t>& bytes) {
    impl_->send(bytes);
}

int SimulatedTarget::pendingForHost() const {
    return impl_->pendingForHost();
}

void SimulatedTarget::setFlash(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
    std::lock_guard lock(impl_->mutex);
    for (std::size_t i = 0; i < bytes.size() && address + i < targetFlashSize; ++i) {
        impl_->flash[address + i] = bytes[i];
    }
}

std::vector<std::uint8_t> SimulatedTarget::flash() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->flash;
}

std::vector<ReceivedPacket> SimulatedTarget::packets() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->packets;
}

int SimulatedTarget::wakeBytesReceived() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->wakeBytes;
}

int SimulatedTarget::resyncFrames() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->resyncs;
}

bool SimulatedTarget::runStarted() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->runStarted;
}

bool SimulatedTarget::hungUp() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->hungUp;
}

int SimulatedTarget::packetsHandled() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->answersSent;
}

std::uint64_t SimulatedTarget::bytesProgrammed() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->bytesProgrammed;
}

std::string SimulatedTarget::packetLog() const {
    const auto all = packets();
    std::string log;
    char line[64];
    for (const auto& p : all) {
        std::snprintf(line, sizeof line, "%5d %c 0x%08X %3zu", p.number, commandLetter(p.command),
                      static_cast<unsigned>(p.address), p.data.size());
        log += line;
        for (std::uint8_t b : p.data) {
            std::snprintf(line, sizeof line, " %02X", b);
            log += line;
        }
        log += p.checksumOk ? " checksum ok" : " checksum BAD";
        if (p.answer < 0) {
            log += " answer none\n";
        } else {
            std::snprintf(line, sizeof line, " answer %02X\n", p.answer);
            log += line;
        }
    }
    return log;
}

bool SimulatedTarget::dumpFlash(const std::string& path, std::string& error) const {
    const auto image = flash();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    out.close();
    if (!out) {
        error = "cannot write the flash image to " + path;
        return false;
    }
    return true;
}

bool SimulatedTarget::writeLog(const std::string& path, std::string& error) const {
    const auto log = packetLog();
    std::ofstream out(path, std::ios::trunc);
    out << log;
    out.close();
    if (!out) {
        error = "cannot write the packet log to " + path;
        return false;
    }
    return true;
}

bool SimulatedTarget::waitFor(const std::function<bool()>& condition,
                              std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition()) {
            return true;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return condition();
        }
        std::unique_lock lock(impl_->mutex);
        impl_->changed.wait_for(
            lock, std::min<std::chrono::steady_clock::duration>(waitPollStep, deadline - now));
    }
}

} // namespace sorbel::sim
