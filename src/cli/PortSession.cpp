// One port of sorbel-cli: the worker host that prints, records and decides the result.
#include "cli/PortSession.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace sorbel::cli {

namespace {

// Status lines of the loader that sorbel-cli recognises.
constexpr const char* readyPrefix = "Ready @ ";
constexpr const char* massErasingLine = "Mass Erasing ";
constexpr const char* erasingPrefix = "Erasing ";
constexpr const char* downloadingPrefix = "Downloading ... ";
constexpr const char* verifyingPrefix = "Verifying ... ";
constexpr const char* completeLine = "Download Complete.";
constexpr const char* flashErrorLine = "Flash error.";
constexpr const char* runningLine = "Running.";
constexpr const char* runFailureLine = "Run Communications failure.";
constexpr const char* receivedSuffix = " received.";
constexpr const char* wrongIdSuffix = " received.Waiting for correct ID string.";
// Messages of the port and the job.
constexpr const char* readFailureMessage = "Reading of serial communication has problem.";
constexpr const char* fileOpenErrorMessage = "File Open Error";

// The number in "Downloading ... 4551 bytes"; -1 when there is none.
std::int64_t estimateIn(const std::string& line, const std::string& head) {
    std::int64_t value = 0;
    bool digits = false;
    for (std::size_t i = head.size(); i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        value = std::min<std::int64_t>(value * 10 + (line[i] - '0'), INT32_MAX);
        digits = true;
    }
    return digits ? value : -1;
}

std::string baseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

} // namespace

int exitStatusOf(PortResult result) {
    switch (result) {
    case PortResult::pending:
    case PortResult::ok:
        return 0;
    case PortResult::flashError:
        return 1;
    case PortResult::portError:
    case PortResult::noAnswer:
    case PortResult::lineLost:
    case PortResult::runFailed:
        return 3;
    case PortResult::fileError:
        return 4;
    case PortResult::interrupted:
        return 130;
    }
    return 3;
}

const char* describeResult(PortResult result) {
    switch (result) {
    case PortResult::pending:
        return "pending";
    case PortResult::ok:
        return "ok";
    case PortResult::flashError:
        return "flash error";
    case PortResult::fileError:
        return "file error";
    case PortResult::portError:
        return "port error";
    case PortResult::noAnswer:
        return "no answer";
    case PortResult::lineLost:
        return "line lost";
    case PortResult::runFailed:
        return "run failed";
    case PortResult::interrupted:
        return "interrupted";
    }
    return "";
}

PortSession::PortSession(std::string portName, DownloadSettings settings,
                         std::uint64_t fileDataBytes, SessionOptions options, Console& console,
                         std::function<void()> wake)
    : portName_(std::move(portName)), settings_(std::move(settings)), fileDataBytes_(fileDataBytes),
      options_(options), console_(console), wake_(std::move(wake)) {
    bar_.label = portName_;
    bar_.timeoutSeconds = options_.timeoutSeconds;
    setDownloadPath(settings_.hexFile);
    DownloadSettings forWorker = settings_;
    forWorker.port = portName_;
    worker_ = std::make_unique<SerialThread>(*this, port_, [forWorker] { return forWorker; });
}

PortSession::~PortSession() {
    // The worker may be inside one of this session's calls; it ends before anything goes.
    worker_.reset();
}

std::string PortSession::prefix() const {
    return options_.prefixLines ? portName_ + ": " : std::string();
}

void PortSession::start() {
    {
        std::lock_guard lock(mutex_);
        stage_ = Stage::download;
        started_ = Clock::now();
        bar_.phase = BarPhase::waiting;
        bar_.phaseStart = started_;
        if (!options_.quiet) {
            barIndex_ = console_.addBar(bar_);
        }
    }
    // As the GUI's Start: the connection request first, then the link, then the ping.
    controlFlags.connectPending.set(1);
    controlFlags.linkActive.set(1);
    controlFlags.pingEnabled.set(1);
    controlFlags.targetReady.set(0);
    worker_->resume();
}

bool PortSession::poll(Clock::time_point now) {
    bool timedOut = false;
    bool requestRun = false;
    {
        std::lock_guard lock(mutex_);
        switch (stage_) {
        case Stage::idle:
            return false;
        case Stage::finished:
            return true;
        case Stage::download: {
            const bool over = connectionEnded_ || controlFlags.linkActive.get() == 0;
            if (over) {
                if (job_ == JobOutcome::complete && options_.run) {
                    stage_ = Stage::runCommand;
                    setPhaseLocked(BarPhase::running);
                    // As the GUI's Run.
                    controlFlags.runRequested.set(1);
                    requestRun = true;
                    break;
                }
                finishLocked(downloadResultLocked(), now);
                return true;
            }
            const bool identified = identified_ || controlFlags.targetReady.get() == 1;
            if (!identified && options_.timeoutSeconds > 0 &&
                std::chrono::duration<double>(now - started_).count() >= options_.timeoutSeconds) {
                timedOut = true;
            }
            break;
        }
        case Stage::runCommand:
            if (controlFlags.runRequested.get() == 0) {
                finishLocked(run_ == RunOutcome::running ? PortResult::ok : PortResult::runFailed,
                             now);
                return true;
            }
            break;
        }
    }
    if (requestRun) {
        worker_->resume();
    }
    if (!timedOut) {
        return false;
    }
    // Not under the lock: the worker may be waiting for it inside one of its calls.
    worker_->stop();
    std::lock_guard lock(mutex_);
    const std::string where = options_.prefixLines ? "" : " on " + portName_;
    const std::string within = " within " + secondsText(options_.timeoutSeconds) + " s";
    if (wrongIdSeen_) {
        console_.messageText(prefix(), "No answer from the target" + where + within +
                                           ": it sent text that is not the loader's "
                                           "identification; check the baud rate and that the "
                                           "board was reset into its loader.");
    } else {
        console_.messageText(prefix(), "No answer from the target" + where + within +
                                           ": check the cable and the baud rate, and reset the "
                                           "board into its loader.");
    }
    finishLocked(PortResult::noAnswer, Clock::now());
    return true;
}

void PortSession::interrupt() {
    {
        std::lock_guard lock(mutex_);
        if (stage_ == Stage::finished) {
            return;
        }
    }
    worker_->stop();
    std::lock_guard lock(mutex_);
    finishLocked(PortResult::interrupted, Clock::now());
}

bool PortSession::finished() const {
    std::lock_guard lock(mutex_);
    return stage_ == Stage::finished;
}

PortResult PortSession::result() const {
    std::lock_guard lock(mutex_);
    return result_;
}

std::uint64_t PortSession::bytesWritten() const {
    std::lock_guard lock(mutex_);
    if (!optionOn(settings_.program)) {
        return 0;
    }
    if (job_ == JobOutcome::complete || writePassDone_) {
        return fileDataBytes_;
    }
    // The position grows by one step before each command: the commands before the last one
    // shown were acknowledged.
    const auto acknowledged = std::max<std::int64_t>(lastWritePosition_ - 16, 0);
    return std::min<std::uint64_t>(static_cast<std::uint64_t>(acknowledged), fileDataBytes_);
}

double PortSession::seconds() const {
    std::lock_guard lock(mutex_);
    const auto end = stage_ == Stage::finished ? ended_ : Clock::now();
    return stage_ == Stage::idle ? 0.0 : std::chrono::duration<double>(end - started_).count();
}

void PortSession::addStatusLine(const std::string& text) {
    bool print = !options_.quiet;
    {
        std::lock_guard lock(mutex_);
        if (text.starts_with(readyPrefix)) {
            portOpened_ = true;
        } else if (text == massErasingLine || text.starts_with(erasingPrefix)) {
            identified_ = true;
            setPhaseLocked(BarPhase::erasing);
        } else if (text.starts_with(downloadingPrefix)) {
            identified_ = true;
            writing_ = true;
            setPhaseLocked(BarPhase::writing, estimateIn(text, downloadingPrefix));
        } else if (text.starts_with(verifyingPrefix)) {
            identified_ = true;
            writing_ = false;
            writePassDone_ = optionOn(settings_.program);
            setPhaseLocked(BarPhase::verifying, estimateIn(text, verifyingPrefix));
        } else if (text == completeLine) {
            identified_ = true;
            job_ = JobOutcome::complete;
            print = true;
        } else if (text == flashErrorLine) {
            job_ = JobOutcome::failed;
            print = true;
        } else if (text == runningLine) {
            run_ = RunOutcome::running;
            print = true;
        } else if (text == runFailureLine) {
            run_ = RunOutcome::failed;
            print = true;
        } else if (text.ends_with(wrongIdSuffix)) {
            wrongIdSeen_ = true;
        } else if (text.ends_with(receivedSuffix) && stage_ == Stage::download) {
            // The matching text; a wrong one ends in "Waiting for correct ID string.".
            identified_ = true;
        }
    }
    if (print) {
        console_.statusLine(prefix(), text);
    }
    wake_();
}

void PortSession::setProgressRange(int upper) {
    std::lock_guard lock(mutex_);
    // The status line carries the full estimate; the range keeps only its low 16 bits.
    if (bar_.total <= 0) {
        bar_.total = upper;
    }
}

void PortSession::setProgressPos(int position) {
    std::lock_guard lock(mutex_);
    if (position <= 0) {
        return;
    }
    if (writing_) {
        lastWritePosition_ = position;
    }
    bar_.position = position;
    updateBarLocked();
}

void PortSession::enableButton(int id, bool enabled) {
    {
        std::lock_guard lock(mutex_);
        // The end of a connection enables Configure last.
        if (id == configureButton && enabled && stage_ == Stage::download) {
            connectionEnded_ = true;
        }
    }
    wake_();
}

void PortSession::showMessage(const std::string& text) {
    {
        std::lock_guard lock(mutex_);
        if (text.starts_with(readFailureMessage)) {
            readFailed_ = true;
        } else if (text == fileOpenErrorMessage ||
                   text.starts_with(baseName(settings_.hexFile) + " line ") ||
                   text.starts_with(baseName(settings_.hexFile) + " changed during the download")) {
            // The job refused the file, up front or because it changed between passes.
            fileRefused_ = true;
        }
    }
    console_.messageText(prefix(), text);
    wake_();
}

PortResult PortSession::downloadResultLocked() const {
    if (fileRefused_) {
        return PortResult::fileError;
    }
    if (readFailed_) {
        return PortResult::lineLost;
    }
    switch (job_) {
    case JobOutcome::complete:
        return PortResult::ok;
    case JobOutcome::failed:
        return PortResult::flashError;
    case JobOutcome::none:
        break;
    }
    return portOpened_ ? PortResult::lineLost : PortResult::portError;
}

void PortSession::finishLocked(PortResult result, Clock::time_point now) {
    if (stage_ == Stage::finished) {
        return;
    }
    stage_ = Stage::finished;
    result_ = result;
    ended_ = now;
    bar_.note = describeResult(result);
    setPhaseLocked(result == PortResult::ok ? BarPhase::done : BarPhase::failed);
}

void PortSession::setPhaseLocked(BarPhase phase, std::int64_t total) {
    bar_.phase = phase;
    bar_.phaseStart = Clock::now();
    bar_.position = 0;
    bar_.total = total;
    updateBarLocked();
}

void PortSession::updateBarLocked() {
    if (barIndex_ >= 0) {
        console_.updateBar(barIndex_, bar_);
    }
}

} // namespace sorbel::cli
