// WorkerFixture: a download worker on a real pseudo-terminal against the simulated target,
// with a RecordingHost, HEX files written into a folder of the test's own, and helpers that
// press Start and Run as the main window does. Every wait is bounded.
#pragma once

#include "RecordingHost.h"

#include "loader/CommandPacket.h"
#include "loader/SerialThread.h"
#include "serial/SerialPort.h"
#include "settings/DownloadSettings.h"
#include "sim/SimulatedTarget.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sorbel::test {

// Bound on any one wait of a test; a case that needs longer has hung.
inline constexpr std::chrono::milliseconds waitLimit{20000};
inline constexpr const char* testBaud = "115200";

struct Record {
    std::uint32_t address;
    std::vector<std::uint8_t> data;
};

// One record line with its checksum, upper-case digits.
inline std::string hexLine(int type, std::uint32_t address, const std::vector<std::uint8_t>& data) {
    std::string line;
    char field[8];
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8 & 0xFF) + (address & 0xFF) +
                   static_cast<unsigned>(type);
    std::snprintf(field, sizeof field, ":%02X", static_cast<unsigned>(data.size()));
    line += field;
    std::snprintf(field, sizeof field, "%04X", static_cast<unsigned>(address & 0xFFFF));
    line += field;
    std::snprintf(field, sizeof field, "%02X", static_cast<unsigned>(type));
    line += field;
    for (std::uint8_t b : data) {
        std::snprintf(field, sizeof field, "%02X", b);
        line += field;
        sum += b;
    }
    std::snprintf(field, sizeof field, "%02X", (256 - sum % 256) % 256);
    line += field;
    return line;
}

// n bytes of a pattern that differs from record to record.
inline std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<std::uint8_t>(seed * 31 + i * 7 + 1);
    return bytes;
}

// The records as data lines, then the end record.
inline std::string hexText(const std::vector<Record>& records) {
    std::string text;
    for (const Record& r : records)
        text += hexLine(0, r.address, r.data) + "\r\n";
    return text + ":00000001FF\r\n";
}

// Erased flash with the records in it.
inline std::vector<std::uint8_t> flashImage(const std::vector<Record>& records) {
    std::vector<std::uint8_t> image(sim::targetFlashSize, 0xFF);
    for (const Record& r : records)
        std::copy(r.data.begin(), r.data.end(), image.begin() + r.address);
    return image;
}

// "E0200 page", "E0000 mass", "W0010x16", "V0000x16", "R0000"; "!" when the checksum was bad.
inline std::string summary(const sim::ReceivedPacket& p) {
    char text[32];
    std::snprintf(text, sizeof text, "%c%04X", static_cast<char>(p.command),
                  static_cast<unsigned>(p.address));
    std::string s = text;
    if (p.command == commandErase)
        s += (!p.data.empty() && p.data[0] == 0) ? " mass" : " page";
    else if (p.command == commandWrite || p.command == commandVerify)
        s += "x" + std::to_string(p.data.size());
    return p.checksumOk ? s : s + "!";
}

class WorkerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/sorbel-worker-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        settings_.port = "";
        settings_.baud = testBaud;
        setOptions(false, true, false);
    }
    void TearDown() override {
        worker_.reset();
        if (target_)
            target_->stop();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    void startTarget(sim::TargetOptions options = {}) {
        target_ = std::make_unique<sim::SimulatedTarget>(std::move(options));
        std::string error;
        ASSERT_TRUE(target_->start(error)) << error;
        std::lock_guard lock(settingsMutex_);
        settings_.port = target_->portPath();
    }
    void setOptions(bool massErase, bool program, bool verify) {
        setOptionTexts(massErase ? "Yes" : "No", program ? "Yes" : "No", verify ? "Yes" : "No");
    }
    void setOptionTexts(const std::string& massErase, const std::string& program,
                        const std::string& verify) {
        std::lock_guard lock(settingsMutex_);
        settings_.massErase = massErase;
        settings_.program = program;
        settings_.verify = verify;
    }
    // 115200 by default, to keep the cases quick; 9600 where a late answer would change
    // which packet a knob hits.
    void setBaud(const std::string& baud) {
        std::lock_guard lock(settingsMutex_);
        settings_.baud = baud;
    }
    void setPort(const std::string& port) {
        std::lock_guard lock(settingsMutex_);
        settings_.port = port;
    }
    std::string writeFile(const std::string& name, const std::string& text) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    // Writes the file and makes it the one to download.
    std::string useFile(const std::string& name, const std::string& text) {
        const std::string path = writeFile(name, text);
        host_.setDownloadPath(path);
        return path;
    }
    static std::string estimateOf(const std::string& path) {
        return std::to_string(std::filesystem::file_size(path) * 16 / 45);
    }

    SerialThread& worker() {
        if (!worker_) {
            worker_ = std::make_unique<SerialThread>(host_, port_, [this] {
                std::lock_guard lock(settingsMutex_);
                return settings_;
            });
        }
        return *worker_;
    }
    // Start, as the main window does it (targetReady cleared first: this host's calls do not
    // wait for another thread).
    void pressStart() {
        host_.controlFlags.targetReady.set(0);
        host_.controlFlags.connectPending.set(1);
        host_.controlFlags.linkActive.set(1);
        host_.controlFlags.pingEnabled.set(1);
        worker().resume();
    }
    void pressRun() {
        host_.controlFlags.runRequested.set(1);
        worker().resume();
    }
    // The n-th end of a connection: Configure enabled again.
    bool waitForEndOfConnection(int occurrence = 1) {
        return host_.waitForButton(configureButton, true, occurrence, waitLimit);
    }
    // Start, then wait for the connection to end.
    void download(int occurrence = 1) {
        pressStart();
        ASSERT_TRUE(waitForEndOfConnection(occurrence)) << "the connection never ended";
    }

    // The packets the target received, in order. An answer that reaches the host after its
    // read time-out (a loaded machine) makes it resend the packet after a resynchronisation
    // frame: an acknowledged packet followed by the same packet again is counted once, as
    // long as there were at least as many resynchronisation frames as such copies.
    std::vector<std::string> packets() const {
        const auto received = target_->packets();
        std::vector<std::string> out;
        int resent = 0;
        for (std::size_t i = 0; i < received.size(); ++i) {
            const bool lateCopy = i + 1 < received.size() && received[i].answer == ackByte &&
                                  received[i].command == received[i + 1].command &&
                                  received[i].address == received[i + 1].address &&
                                  received[i].data == received[i + 1].data;
            if (lateCopy) {
                ++resent;
                continue;
            }
            out.push_back(summary(received[i]));
        }
        EXPECT_LE(resent, target_->resyncFrames()) << "packets sent twice without a failure";
        return out;
    }
    // The host's status lines. On a loaded machine the target's answer to a wake byte may
    // come after the read that should have seen it; the worker then sends another wake byte
    // and one read brings the text twice, cut at 24 characters. That line is shown here as
    // the one text it repeats.
    std::vector<std::string> lines() const {
        const std::string id = sim::defaultIdText;
        const std::string suffix = " received.";
        auto out = host_.lines();
        for (std::string& line : out) {
            if (!line.ends_with(suffix) || line.size() <= id.size() + suffix.size())
                continue;
            const std::string text = line.substr(0, line.size() - suffix.size());
            std::string repeated;
            while (repeated.size() < text.size())
                repeated += id;
            if (text.size() <= identificationReadSize && repeated.starts_with(text))
                line = id + suffix;
        }
        return out;
    }
    // The flash below the loader area.
    std::vector<std::uint8_t> userFlash() const {
        auto flash = target_->flash();
        flash.resize(sim::loaderAreaStart);
        return flash;
    }
    static std::vector<std::uint8_t> userImage(const std::vector<Record>& records) {
        auto image = flashImage(records);
        image.resize(sim::loaderAreaStart);
        return image;
    }

    std::vector<std::string> readyLines() {
        std::lock_guard lock(settingsMutex_);
        return {"Ready @ " + settings_.baud + " baud n,8,1.",
                "    Press Download and pulse Reset on hardware."};
    }
    static std::vector<std::string> connectionButtons() {
        return {"1002 off", "1007 off", "1029 off", "1002 on", "1007 on", "1029 on"};
    }

    RecordingHost host_;
    SerialPort port_;
    std::unique_ptr<sim::SimulatedTarget> target_;
    std::string dir_;

private:
    std::mutex settingsMutex_;
    DownloadSettings settings_;
    std::unique_ptr<SerialThread> worker_;
};

} // namespace sorbel::test
