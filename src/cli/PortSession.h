// PortSession: one port of sorbel-cli: its SerialPort, its download worker and the host that
// the worker reports to.
//
// Contract:
//  - start() asks for a download as the GUI's Start does (connectPending, linkActive,
//    pingEnabled set, targetReady cleared, then resume()). When the download succeeded and
//    --run was given, the session then asks for the run command as the GUI's Run does.
//  - The worker's calls (status lines, progress, buttons, messages) arrive on its own thread;
//    they are printed through the Console at once and recorded. poll(now) runs on the
//    controlling thread: it notices the end of the connection or of the run command, and
//    stops the worker when the target has not identified itself within the time-out.
//  - interrupt() stops the worker (Ctrl-C); a stopped worker never calls the session again.
//  - The result, once finished(), says what happened; exitStatus() maps it onto the
//    program's exit codes (0 ok, 1 flash error, 3 port or connection, 4 file).
#pragma once

#include "cli/Console.h"
#include "loader/SerialThread.h"
#include "loader/WorkerHost.h"
#include "serial/SerialPort.h"
#include "settings/DownloadSettings.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace sorbel::cli {

enum class PortResult {
    pending,
    ok,          // the download (and the run command, if asked for) succeeded
    flashError,  // the job ended with "Flash error."
    fileError,   // the job could not open or refused the file
    portError,   // the port did not open
    noAnswer,    // no identification text within the time-out
    lineLost,    // a read failed or the line hung up
    runFailed,   // the run command was not acknowledged or its port did not open
    interrupted, // stopped by the operator
};

// Exit status for one port's result: 0, 1, 3 or 4 (130 for an interruption).
int exitStatusOf(PortResult result);
// Short text for the closing table and the bar: "ok", "flash error", "no answer", ...
const char* describeResult(PortResult result);

struct SessionOptions {
    bool run = false;
    bool quiet = false;
    double timeoutSeconds = 60; // 0: no limit
    bool prefixLines = false;   // several ports: every line starts with "PORT: "
};

class PortSession final : public WorkerHost {
public:
    PortSession(std::string portName, DownloadSettings settings, std::uint64_t fileDataBytes,
                SessionOptions options, Console& console, std::function<void()> wake);
    ~PortSession() override;
    PortSession(const PortSession&) = delete;
    PortSession& operator=(const PortSession&) = delete;

    void start();
    // Returns true once the session has finished.
    bool poll(Clock::time_point now);
    void interrupt();

    bool finished() const;
    PortResult result() const;
    const std::string& portName() const { return portName_; }
    // Data bytes the target acknowledged as written (exact on success, about on failure).
    std::uint64_t bytesWritten() const;
    double seconds() const;

    // WorkerHost, called on the worker's thread.
    void addStatusLine(const std::string& text) override;
    void setProgressRange(int upper) override;
    void setProgressPos(int position) override;
    void enableButton(int id, bool enabled) override;
    void showMessage(const std::string& text) override;

private:
    enum class Stage { idle, download, runCommand, finished };
    enum class JobOutcome { none, complete, failed };
    enum class RunOutcome { none, running, failed };

    void finishLocked(PortResult result, Clock::time_point now);
    PortResult downloadResultLocked() const;
    void setPhaseLocked(BarPhase phase, std::int64_t total = 0);
    void updateBarLocked();
    std::string prefix() const;

    const std::string portName_;
    const DownloadSettings settings_;
    const std::uint64_t fileDataBytes_;
    const SessionOptions options_;
    Console& console_;
    const std::function<void()> wake_;

    mutable std::mutex mutex_;
    Stage stage_ = Stage::idle;
    PortResult result_ = PortResult::pending;
    Clock::time_point started_{};
    Clock::time_point ended_{};
    bool portOpened_ = false;
    bool identified_ = false;
    bool wrongIdSeen_ = false; // the target sent text that did not match
    bool connectionEnded_ = false;
    bool readFailed_ = false;
    bool fileRefused_ = false;
    JobOutcome job_ = JobOutcome::none;
    RunOutcome run_ = RunOutcome::none;
    bool writing_ = false;
    bool writePassDone_ = false;
    std::int64_t lastWritePosition_ = 0;
    BarState bar_;
    int barIndex_ = -1;

    SerialPort port_;
    // Last: the worker ends before the port and the rest of the session go.
    std::unique_ptr<SerialThread> worker_;
};

} // namespace sorbel::cli
