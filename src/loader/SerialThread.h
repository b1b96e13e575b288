// SerialThread: the download worker. It owns all traffic with the target loader.
//
// Contract:
//  - Built with its host (flags, status lines, buttons, boxes), the port it uses and a
//    source of settings snapshots. Nothing runs until the first resume().
//  - resume(): any thread. Starts the worker thread on the first call and wakes it on every
//    call; hosts call it after setting flags for Start (connectPending, linkActive,
//    pingEnabled, then targetReady cleared) or Run (runRequested).
//  - While neither runRequested nor linkActive is set the worker sleeps: no processor time.
//  - stop(): any thread but the worker's. Wakes the worker out of every wait (flags, port
//    reads and writes), waits for it to end, and from then on it never calls the host again.
//    The destructor stops the worker.
//  - runProgrammingJob() is the job that a matching identification text starts.
#pragma once

#include "loader/WorkerHost.h"
#include "serial/SerialPort.h"
#include "settings/DownloadSettings.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace sorbel {

// The loader's identification text; only its first identificationMatchLength characters are
// compared.
inline constexpr const char* identificationText = "QZKV5160  V3Y";
inline constexpr std::size_t identificationMatchLength = 6;
inline constexpr std::uint32_t identificationReadSize = 24;

class SerialThread {
public:
    using SettingsSource = std::function<DownloadSettings()>;

    SerialThread(WorkerHost& host, SerialPort& port, SettingsSource settings);
    ~SerialThread();
    SerialThread(const SerialThread&) = delete;
    SerialThread& operator=(const SerialThread&) = delete;

    void resume();
    void stop();
    bool running() const;

private:
    void run();
    void runStep();
    void connectionPass();
    void endConnection();
    void runProgrammingJob();
    bool stopping() const;

    WorkerHost& host_;
    SerialPort& port_;
    SettingsSource settings_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool started_ = false;
    bool stopRequested_ = false;
    unsigned long wakeCount_ = 0;
    std::thread thread_;
};

} // namespace sorbel
