// Console: all of sorbel-cli's output, from any thread, one whole line at a time.
//
// Contract:
//  - statusLine(prefix, text) writes prefix + text + '\n' to the output stream (standard
//    output) and messageText(prefix, text) writes every line of text with the prefix to the
//    error stream. Both make control characters visible (\xNN) so that bytes a target sends
//    can neither break the one-line-per-status rule nor drive the terminal; status lines also
//    escape bytes above 0x7e, since they only ever carry ASCII text of the loader.
//  - With bars enabled (the error stream is a terminal), each port has one bar line below
//    everything else, redrawn in place: before any other line is written the bars are
//    erased, and drawn again after it. Bar lines are cut to the terminal's width so that the
//    redraw never has to deal with wrapped lines. Without bars, nothing of them is written.
//  - Every call is serialised by one lock and flushes what it wrote; writes to a closed pipe
//    are ignored.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace sorbel::cli {

using Clock = std::chrono::steady_clock;

enum class BarPhase { waiting, erasing, writing, verifying, running, done, failed };

struct BarState {
    std::string label; // the port
    BarPhase phase = BarPhase::waiting;
    std::string note;          // short text after the phase for done/failed ("ok", "flash error")
    std::int64_t position = 0; // bytes sent in this pass
    std::int64_t total = 0;    // bytes expected in this pass (the loader's estimate)
    Clock::time_point phaseStart{};
    double timeoutSeconds = 0; // for the waiting phase; 0: none
};

// One bar line as it is drawn, at most width - 1 columns, the label padded to labelWidth.
std::string renderBar(const BarState& bar, Clock::time_point now, std::size_t width,
                      std::size_t labelWidth = 0);

// A status line with control and non-ASCII bytes made visible.
std::string escapeStatusText(const std::string& text);
// A message line with control bytes made visible (UTF-8 file names pass unchanged).
std::string escapeMessageText(const std::string& text);

class Console {
public:
    Console(std::FILE* out, std::FILE* err, bool barsEnabled);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    bool barsEnabled() const { return barsEnabled_; }

    void statusLine(const std::string& prefix, const std::string& text);
    void messageText(const std::string& prefix, const std::string& text);
    // A line of the program's own on the output stream, as it stands (the closing table).
    void plainLine(const std::string& text);

    // Returns the index of a new bar; no-op (returns -1) without bars.
    int addBar(const BarState& state);
    // Replaces a bar's state; redraws when the phase changed or enough time has passed.
    void updateBar(int index, const BarState& state);
    // Redraws the bars when enough time has passed (rate and time left move on).
    void tick();
    // Removes the bars from the screen for good.
    void finishBars();

private:
    void eraseBarsLocked();
    void drawBarsLocked();
    std::size_t terminalWidth() const;

    std::mutex mutex_;
    std::FILE* out_;
    std::FILE* err_;
    bool barsEnabled_;
    bool barsFinished_ = false;
    std::vector<BarState> bars_;
    int drawnLines_ = 0;
    Clock::time_point lastDraw_{};
};

} // namespace sorbel::cli
