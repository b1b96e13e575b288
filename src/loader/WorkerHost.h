// WorkerHost: what the download worker and the programming job use of their host window.
//
// The GUI's main window, the CLI and tests each implement it. The worker reaches nothing
// else of its host:
//  - controlFlags: five byte flags shared with the worker; write with set() (release) and
//    read with get() (acquire). After setting flags, the host calls SerialThread::resume().
//  - downloadPath(): a copy of the HEX file path, taken under a lock, so the job never
//    reads it while the host replaces it with setDownloadPath().
//  - addStatusLine, setProgressRange, setProgressPos, enableButton: called on the worker
//    thread; each returns only after it has taken effect on the host (the GUI runs it on
//    its own thread and waits). setProgressRange keeps the low 16 bits of its argument.
//    Lines that tell the operator what to do next begin with four blanks.
//  - showMessage (from MessageSink): a failure box; returns when the operator closed it.
// A host that is shutting down must let pending calls return at once (SerialThread::stop
// waits for the worker, which may be inside one of them).
#pragma once

#include "serial/MessageSink.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace sorbel {

inline constexpr int startButton = 1002;
inline constexpr int runButton = 1007;
inline constexpr int configureButton = 1029;

class Flag {
public:
    std::uint8_t get() const { return value_.load(std::memory_order_acquire); }
    void set(std::uint8_t v) { value_.store(v, std::memory_order_release); }
    bool on() const { return get() == 1; }

private:
    std::atomic<std::uint8_t> value_{0};
};

struct ControlFlags {
    Flag runRequested;
    Flag linkActive;
    Flag pingEnabled;
    Flag connectPending;
    Flag targetReady;
};

class WorkerHost : public MessageSink {
public:
    ControlFlags controlFlags;

    std::string downloadPath() const {
        std::lock_guard lock(pathMutex_);
        return downloadPath_;
    }
    void setDownloadPath(const std::string& path) {
        std::lock_guard lock(pathMutex_);
        downloadPath_ = path;
    }

    virtual void addStatusLine(const std::string& text) = 0;
    virtual void setProgressRange(int upper) = 0;
    virtual void setProgressPos(int position) = 0;
    virtual void enableButton(int id, bool enabled) = 0;

private:
    mutable std::mutex pathMutex_;
    std::string downloadPath_;
};

} // namespace sorbel
