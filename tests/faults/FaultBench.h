// FaultBench: what the fault cases share. A download worker (the engine the desktop program
// runs) on a pseudo-terminal against the simulated target, with a host that records what
// the operator would see: status lines, message boxes and the three buttons, each with the
// moment it came. HEX files are written into a folder of the test's own. Every wait is
// bounded, so a case that hangs fails instead of stalling the run.
#pragma once

#include "loader/SerialThread.h"
#include "loader/WorkerHost.h"
#include "serial/SerialPort.h"
#include "settings/DownloadSettings.h"
#include "sim/SimulatedTarget.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sorbel::faults {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Bound on any one wait of a case that should end quickly; reaching it means a hang.
inline constexpr std::chrono::milliseconds waitLimit{20000};

// What the operator sees of the desktop program.
class OperatorHost : public WorkerHost {
public:
    enum class Kind { line, box, button };
    struct Event {
        Kind kind;
        std::string text; // line or box text
        int id = 0;       // button
        bool enabled = false;
        Clock::time_point at;
    };

    void addStatusLine(const std::string& text) override {
        record({Kind::line, text, 0, false, {}});
        if (onLine)
            onLine(text);
    }
    void setProgressRange(int) override {}
    void setProgressPos(int position) override {
        if (onPosition)
            onPosition(position);
    }
    void enableButton(int id, bool enabled) override {
        record({Kind::button, {}, id, enabled, {}});
    }
    void showMessage(const std::string& text) override { record({Kind::box, text, 0, false, {}}); }

    std::vector<Event> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<std::string> texts(Kind kind) const {
        std::vector<std::string> out;
        for (const Event& e : events())
            if (e.kind == kind)
                out.push_back(e.text);
        return out;
    }
    std::vector<std::string> lines() const { return texts(Kind::line); }
    // First line of every box (the port adds a second line with the reason).
    std::vector<std::string> boxes() const {
        auto out = texts(Kind::box);
        for (auto& text : out)
            text = text.substr(0, text.find('\n'));
        return out;
    }
    // Waits until the buttons were given back (Configure, the last of the three, enabled)
    // for the n-th time, counting from 1.
    bool waitForButtonsBack(int n, std::chrono::milliseconds limit = waitLimit) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return buttonsBackCount() >= n; });
    }
    Clock::time_point buttonsBackAt(int n) const {
        std::lock_guard lock(mutex_);
        int seen = 0;
        for (const Event& e : events_)
            if (e.kind == Kind::button && e.id == configureButton && e.enabled && ++seen == n)
                return e.at;
        return Clock::time_point::max();
    }
    Clock::time_point firstBoxAt() const {
        std::lock_guard lock(mutex_);
        for (const Event& e : events_)
            if (e.kind == Kind::box)
                return e.at;
        return Clock::time_point::max();
    }
    // Buttons as "1002 off", in call order.
    std::vector<std::string> buttons() const {
        std::vector<std::string> out;
        for (const Event& e : events())
            if (e.kind == Kind::button)
                out.push_back(std::to_string(e.id) + (e.enabled ? " on" : " off"));
        return out;
    }

    // Set before Start; run on the worker thread, so a case can act at an exact point of a
    // job (between two passes over the file) while the job waits for it.
    std::function<void(const std::string&)> onLine;
    std::function<void(int)> onPosition;

private:
    int buttonsBackCount() const {
        return static_cast<int>(std::count_if(events_.begin(), events_.end(), [](const Event& e) {
            return e.kind == Kind::button && e.id == configureButton && e.enabled;
        }));
    }
    void record(Event event) {
        event.at = Clock::now();
        {
            std::lock_guard lock(mutex_);
            events_.push_back(std::move(event));
        }
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Event> events_;
};

struct Record {
    std::uint32_t address;
    std::vector<std::uint8_t> data;
};

// One record line with its checksum.
inline std::string hexLine(int type, std::uint32_t address, const std::vector<std::uint8_t>& data) {
    char field[16];
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8 & 0xFF) + (address & 0xFF) +
                   static_cast<unsigned>(type);
    std::snprintf(field, sizeof field, ":%02X%04X%02X", static_cast<unsigned>(data.size()),
                  static_cast<unsigned>(address & 0xFFFF), static_cast<unsigned>(type));
    std::string line = field;
    for (const std::uint8_t b : data) {
        std::snprintf(field, sizeof field, "%02X", b);
        line += field;
        sum += b;
    }
    std::snprintf(field, sizeof field, "%02X", (256 - sum % 256) % 256);
    return line + field;
}

inline std::string hexText(const std::vector<Record>& records) {
    std::string text;
    for (const Record& r : records)
        text += hexLine(0, r.address, r.data) + "\r\n";
    return text + ":00000001FF\r\n";
}

inline std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<std::uint8_t>(seed * 31 + i * 7 + 1);
    return bytes;
}

// Six 16-byte records over three pages: three erases, six writes, six verifies.
inline std::vector<Record> sixRecords() {
    return {{0x0000, pattern(16, 1)}, {0x0010, pattern(16, 2)}, {0x0200, pattern(16, 3)},
            {0x0210, pattern(16, 4)}, {0x0400, pattern(16, 5)}, {0x0410, pattern(16, 6)}};
}
inline constexpr int sixRecordsErases = 3;
inline constexpr int sixRecordsWrites = 6;

// True when every record's bytes are in the flash image.
inline bool holds(const std::vector<std::uint8_t>& flash, const std::vector<Record>& records) {
    return std::all_of(records.begin(), records.end(), [&](const Record& r) {
        return std::equal(r.data.begin(), r.data.end(), flash.begin() + r.address);
    });
}

inline std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
inline void writeText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// A folder of the test's own, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "sorbel-faults-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

inline std::unique_ptr<sim::SimulatedTarget> startTarget(sim::TargetOptions options = {}) {
    auto target = std::make_unique<sim::SimulatedTarget>(std::move(options));
    std::string error;
    if (!target->start(error))
        ADD_FAILURE() << "simulated target: " << error;
    return target;
}

inline int countCommand(const std::vector<sim::ReceivedPacket>& packets, std::uint8_t command) {
    return static_cast<int>(std::count_if(packets.begin(), packets.end(),
                                          [&](const auto& p) { return p.command == command; }));
}

// The desktop program's engine with an operator host: press Start, watch what happens.
class Bench {
public:
    explicit Bench(const std::string& port) : worker_(host_, port_, [this] { return settings(); }) {
        settings_.port = port;
        settings_.baud = "9600"; // a read limit of 210 ms: a loaded machine resends nothing
        settings_.massErase = optionNo;
        settings_.program = optionYes;
        settings_.verify = optionYes;
    }
    ~Bench() { worker_.stop(); }

    OperatorHost& host() { return host_; }
    void setPort(const std::string& port) {
        std::lock_guard lock(mutex_);
        settings_.port = port;
    }
    void setOptions(const char* massErase, const char* program, const char* verify) {
        std::lock_guard lock(mutex_);
        settings_.massErase = massErase;
        settings_.program = program;
        settings_.verify = verify;
    }
    DownloadSettings settings() const {
        std::lock_guard lock(mutex_);
        return settings_;
    }
    // What the main window's Start does.
    void pressStart(const std::string& hexPath) {
        host_.setDownloadPath(hexPath);
        host_.controlFlags.targetReady.set(0);
        host_.controlFlags.connectPending.set(1);
        host_.controlFlags.linkActive.set(1);
        host_.controlFlags.pingEnabled.set(1);
        worker_.resume();
    }

private:
    OperatorHost host_;
    SerialPort port_;
    mutable std::mutex mutex_;
    DownloadSettings settings_;
    SerialThread worker_;
};

inline const std::vector<std::string> completeLines = {"Download Complete.",
                                                       "    Click Run to run program."};
inline const std::vector<std::string> flashErrorLines = {
    "Flash error.", "    Check setup and try downloading again."};

// The last two status lines.
inline std::vector<std::string> lastTwo(const std::vector<std::string>& lines) {
    if (lines.size() < 2)
        return lines;
    return {lines.end() - 2, lines.end()};
}

} // namespace sorbel::faults
