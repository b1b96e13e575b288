// SerialThread: the download worker. It owns all traffic with the target loader.
//
// Contract:
//  - Built with its host (flags, status lines, buttons, boxes), the port it uses and a
//    source of settings snapshots. Nothing runs until the first resume(). The worker hands
//    the port a message sink of its own that forwards to the host, so port failures reach
//    the host's boxes.
//  - resume(): any thread. Starts the worker thread on the first call and wakes it on every
//    call. Hosts call it after setting flags: for Start targetReady cleared first, then
//    connectPending, linkActive and pingEnabled (a host whose display calls do not wait for
//    another thread must clear targetReady before it sets linkActive); for Run runRequested.
//  - While neither runRequested nor linkActive is set the worker blocks on a condition
//    variable: no processor time.
//  - Start: the worker opens the port, adds "Ready @ <baud> baud n,8,1." and the reset
//    prompt, disables Start, Run and Configure, reads the identification text while it sends
//    the wake byte into silence, runs the programming job on a match, then closes the port,
//    clears connectPending and linkActive and enables the three buttons again. A failed
//    identification read ends the connection the same way.
//  - Run: the worker opens the port, sends the run command and closes the port. A port that
//    does not open shows its message once, runRequested is cleared and Run enabled again.
//  - stop(): any thread but the worker's. Wakes the worker out of every wait (flags, port
//    reads and writes, packet retries), waits for it to end (it closes the port if open),
//    and from the moment of the call the worker never calls the host again. A host call that
//    is under way when stop() comes must be let return by the host. The destructor stops the
//    worker. After stop(), resume() does nothing.
#pragma once

#include "loader/HostGuard.h"
#include "loader/WorkerHost.h"
#include "serial/SerialPort.h"
#include "settings/DownloadSettings.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

namespace sorbel {

// The loader's identification text; only its first identificationMatchLength characters are
// compared.
inline constexpr const char* identificationText = "QZKV5160  V3Y";
inline constexpr std::size_t identificationMatchLength = 6;
inline constexpr std::uint32_t identificationReadSize = 24;
inline constexpr std::size_t identificationBufferSize = 100;

class SerialThread {
public:
    using SettingsSource = std::function<DownloadSettings()>;

    SerialThread(WorkerHost& host, SerialPort& port, SettingsSource settings);
    ~SerialThread();
    SerialThread(const SerialThread&) = delete;
    SerialThread& operator=(const SerialThread&) = delete;

    void resume();
    void stop();
    // True from the first resume() until stop().
    bool running() const;

private:
    void run();
    void waitForWork();
    void waitForResume(unsigned long seen);
    void runStep();
    bool connectionPass();
    bool connectStep();
    bool identificationStep();
    bool sendWakeByte();
    void endConnection();
    void runJob();
    bool stopping() const { return stopSource_.stop_requested(); }

    WorkerHost& host_;
    SerialPort& port_;
    SettingsSource settings_;
    std::stop_source stopSource_;
    HostGuard guard_;
    // The settings of the connection under way, taken when its port opens.
    DownloadSettings connection_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool started_ = false;
    bool stopRequested_ = false;
    unsigned long wakeCount_ = 0;
    std::thread thread_;
};

} // namespace sorbel
