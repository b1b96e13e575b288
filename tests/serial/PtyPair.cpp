#include "PtyPair.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace sorbel::test {

PtyPair::PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        ADD_FAILURE() << "cannot make a pseudo-terminal pair: errno " << errno;
        return;
    }
    const char* name = ::ptsname(master_);
    if (name == nullptr) {
        ADD_FAILURE() << "ptsname failed: errno " << errno;
        return;
    }
    slavePath_ = name;
    observer_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (observer_ < 0) {
        ADD_FAILURE() << "cannot open " << slavePath_ << ": errno " << errno;
    }
}

PtyPair::~PtyPair() {
    closeMaster();
    if (observer_ >= 0) {
        ::close(observer_);
    }
}

bool PtyPair::waitInput(std::size_t n) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds{10};
    for (;;) {
        int queued = 0;
        if (::ioctl(observer_, FIONREAD, &queued) != 0) {
            return false;
        }
        if (queued >= 0 && static_cast<std::size_t>(queued) >= n) {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        ::usleep(1000);
    }
}

void PtyPair::closeMaster() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

void PtyPair::send(const std::string& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ASSERT_GT(n, 0) << "write to the master failed: errno " << errno;
        done += static_cast<std::size_t>(n);
    }
}

std::string PtyPair::receive(std::size_t n, std::chrono::milliseconds limit) const {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + limit;
    std::string out;
    while (out.size() < n) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd fd{master_, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[4096];
        ssize_t got = ::read(master_, buffer, std::min(sizeof buffer, n - out.size()));
        if (got <= 0) {
            break;
        }
        out.append(buffer, static_cast<std::size_t>(got));
    }
    return out;
}

std::string RecordingSink::firstLine(std::size_t i) const {
    if (i >= messages.size()) {
        return "";
    }
    return messages[i].substr(0, messages[i].find('\n'));
}

} // namespace sorbel::test
