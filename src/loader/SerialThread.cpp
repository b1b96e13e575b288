#include "loader/SerialThread.h"

#include "loader/CommandPacket.h"
#include "loader/ProgrammingJob.h"

#include <chrono>
#include <cstring>

namespace sorbel {

namespace {

// Pause between repeats of a wake byte that the port reported unsent.
constexpr std::chrono::milliseconds wakeByteRetryPause{10};

} // namespace

SerialThread::SerialThread(WorkerHost& host, SerialPort& port, SettingsSource settings)
    : host_(host), port_(port), settings_(std::move(settings)),
      guard_(host, stopSource_.get_token()) {}

SerialThread::~SerialThread() {
    stop();
}

void SerialThread::resume() {
    std::lock_guard lock(mutex_);
    if (stopRequested_)
        return;
    ++wakeCount_;
    if (!started_) {
        started_ = true;
        thread_ = std::thread([this] { run(); });
    }
    wake_.notify_all();
}

void SerialThread::stop() {
    bool started = false;
    {
        std::lock_guard lock(mutex_);
        if (!stopRequested_) {
            stopRequested_ = true;
            stopSource_.request_stop();
        }
        started = started_;
    }
    if (!started)
        return;
    // Ends every blocking read and write of the worker, and every packet retry.
    port_.abort();
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

bool SerialThread::running() const {
    std::lock_guard lock(mutex_);
    return started_ && !stopRequested_;
}

void SerialThread::run() {
    port_.setMessageSink(&guard_);
    ControlFlags& flags = host_.controlFlags;
    while (!stopping()) {
        if (flags.runRequested.on())
            runStep();
        while (!stopping() && flags.linkActive.on()) {
            unsigned long seen = 0;
            {
                std::lock_guard lock(mutex_);
                seen = wakeCount_;
            }
            // A pass with nothing to do (flags a host left half set) waits for the next
            // resume() instead of spinning.
            if (!connectionPass())
                waitForResume(seen);
        }
        if (!stopping())
            waitForWork();
    }
    if (port_.isOpen())
        port_.close();
    port_.setMessageSink(nullptr);
}

void SerialThread::waitForWork() {
    const ControlFlags& flags = host_.controlFlags;
    std::unique_lock lock(mutex_);
    wake_.wait(lock,
               [&] { return stopRequested_ || flags.runRequested.on() || flags.linkActive.on(); });
}

void SerialThread::waitForResume(unsigned long seen) {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [&] { return stopRequested_ || wakeCount_ != seen; });
}

void SerialThread::runStep() {
    ControlFlags& flags = host_.controlFlags;
    const DownloadSettings settings = settings_();
    if (!port_.open(settings.port, settings.baud)) {
        // The port has shown its message; the request ends here and Run can be pressed again.
        if (stopping())
            return;
        flags.runRequested.set(0);
        guard_.enableButton(runButton, true);
        return;
    }
    if (stopping())
        return;
    flags.linkActive.set(1);
    const int result = sendPacket(port_, runPacket(), guard_);
    if (stopping())
        return;
    if (result > 9) {
        guard_.showMessage("Communications failure. Run aborted");
        guard_.addStatusLine("Run Communications failure.");
    } else {
        guard_.addStatusLine("Running.");
    }
    guard_.addStatusLine("    Click Start for new download.");
    port_.close();
    if (stopping())
        return;
    flags.linkActive.set(0);
    flags.runRequested.set(0);
}

// One pass of a connection. Returns false when it found nothing to do.
bool SerialThread::connectionPass() {
    ControlFlags& flags = host_.controlFlags;
    if (!port_.isOpen() && flags.connectPending.on())
        return connectStep();
    bool acted = false;
    if (flags.connectPending.on()) {
        acted = true;
        if (!identificationStep())
            return true;
    }
    if (!stopping() && flags.targetReady.on() && port_.isOpen()) {
        runJob();
        endConnection();
        acted = true;
    }
    return acted;
}

bool SerialThread::connectStep() {
    connection_ = settings_();
    const bool opened = port_.open(connection_.port, connection_.baud);
    if (stopping())
        return true;
    if (!opened) {
        // The port has shown its message; Start is still enabled.
        host_.controlFlags.linkActive.set(0);
        return true;
    }
    guard_.addStatusLine("Ready @ " + connection_.baud + " baud n,8,1.");
    guard_.addStatusLine("    Press Download and pulse Reset on hardware.");
    guard_.enableButton(startButton, false);
    guard_.enableButton(runButton, false);
    guard_.enableButton(configureButton, false);
    return true;
}

// Waits once for the identification text. Returns false when the connection has ended.
bool SerialThread::identificationStep() {
    ControlFlags& flags = host_.controlFlags;
    char buffer[identificationBufferSize];
    std::uint32_t got = 0;
    if (!port_.read(buffer, identificationReadSize, got)) {
        // The port has shown its message; the operator gets the buttons back.
        endConnection();
        return false;
    }
    if (stopping())
        return false;
    if (got > 0) {
        // Drop what is still queued for sending, wake bytes included; keep what arrived.
        port_.purge(purgeTxAbort | purgeTxClear);
        const std::string text(buffer, strnlen(buffer, got));
        // A zero byte among the first characters never equals the expected text.
        const bool match = got >= identificationMatchLength &&
                           std::memcmp(buffer, identificationText, identificationMatchLength) == 0;
        if (match) {
            guard_.addStatusLine(text + " received.");
            if (!stopping())
                flags.targetReady.set(1);
        } else {
            guard_.addStatusLine(text + " received." + "Waiting for correct ID string.");
        }
    } else if (flags.pingEnabled.on()) {
        if (!sendWakeByte()) {
            endConnection();
            return false;
        }
    }
    return true;
}

// Writes the wake byte, repeating it while the port reports it unsent, for at most the
// port's write time-out. False when it never went out (or a stop came).
bool SerialThread::sendWakeByte() {
    const auto deadline = std::chrono::steady_clock::now() + SerialPort::writeTimeout(1);
    for (;;) {
        if (port_.write(&wakeByte, 1) == 1)
            return true;
        if (stopping() || std::chrono::steady_clock::now() >= deadline)
            break;
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, wakeByteRetryPause, [&] { return stopRequested_; });
    }
    guard_.showMessage("Write error\n" + connection_.port + ": the wake byte could not be sent.");
    return false;
}

void SerialThread::endConnection() {
    ControlFlags& flags = host_.controlFlags;
    guard_.setProgressPos(0);
    port_.close();
    if (stopping())
        return;
    flags.connectPending.set(0);
    flags.linkActive.set(0);
    guard_.enableButton(startButton, true);
    guard_.enableButton(runButton, true);
    guard_.enableButton(configureButton, true);
}

void SerialThread::runJob() {
    sorbel::runProgrammingJob(host_, port_, connection_, stopSource_.get_token());
}

} // namespace sorbel
