// sorbel-cli's output: status lines, messages and the per-port progress bars.
#include "cli/Console.h"

#include <algorithm>
#include <cmath>
#include <sys/ioctl.h>
#include <unistd.h>

namespace sorbel::cli {

namespace {

constexpr auto redrawInterval = std::chrono::milliseconds(100);
constexpr std::size_t fallbackWidth = 80;
constexpr std::size_t maxBarCells = 30;
constexpr std::size_t minBarCells = 8;
// Room kept for "  12.3 KiB of 45.6 KiB  1.1 KiB/s  0:04 left".
constexpr std::size_t reservedTail = 46;
// Below this the rate is not yet meaningful.
constexpr double minRateSeconds = 0.2;

void appendEscaped(std::string& out, unsigned char byte) {
    static constexpr char digits[] = "0123456789abcdef";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 0xf];
}

std::string formatBytes(std::int64_t bytes) {
    char text[32];
    if (bytes < 10000) {
        std::snprintf(text, sizeof text, "%lld B", static_cast<long long>(bytes));
    } else {
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024.0);
    }
    return text;
}

std::string formatDuration(double seconds) {
    const auto whole = static_cast<long long>(std::ceil(seconds));
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    return text;
}

const char* phaseName(BarPhase phase) {
    switch (phase) {
    case BarPhase::waiting:
        return "waiting for the target";
    case BarPhase::erasing:
        return "erasing";
    case BarPhase::writing:
        return "writing";
    case BarPhase::verifying:
        return "verifying";
    case BarPhase::running:
        return "starting the program";
    case BarPhase::done:
        return "done";
    case BarPhase::failed:
        return "failed";
    }
    return "";
}

// Cuts a line to at most limit bytes, without splitting a UTF-8 sequence.
void cutTo(std::string& line, std::size_t limit) {
    if (line.size() <= limit) {
        return;
    }
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    line.resize(cut);
}

} // namespace

std::string escapeStatusText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7e) {
            appendEscaped(out, byte);
        } else {
            out += c;
        }
    }
    return out;
}

std::string escapeMessageText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            appendEscaped(out, byte);
        } else {
            out += c;
        }
    }
    return out;
}

std::string renderBar(const BarState& bar, Clock::time_point now, std::size_t width,
                      std::size_t labelWidth) {
    std::string line = escapeMessageText(bar.label);
    if (line.size() < labelWidth) {
        line.append(labelWidth - line.size(), ' ');
    }
    line += "  ";
    line += phaseName(bar.phase);
    const double elapsed = std::chrono::duration<double>(now - bar.phaseStart).count();
    char text[96];
    switch (bar.phase) {
    case BarPhase::waiting:
        if (bar.timeoutSeconds > 0) {
            std::snprintf(text, sizeof text, "  %.0f s of %g s (reset the board)",
                          std::floor(std::max(elapsed, 0.0)), bar.timeoutSeconds);
        } else {
            std::snprintf(text, sizeof text, "  %.0f s (reset the board)",
                          std::floor(std::max(elapsed, 0.0)));
        }
        line += text;
        break;
    case BarPhase::erasing:
    case BarPhase::running:
        std::snprintf(text, sizeof text, "  %.0f s", std::floor(std::max(elapsed, 0.0)));
        line += text;
        break;
    case BarPhase::writing:
    case BarPhase::verifying: {
        const std::int64_t total = std::max<std::int64_t>(bar.total, 0);
        const std::int64_t position = std::clamp<std::int64_t>(bar.position, 0, total);
        std::string tail = "  " + formatBytes(position) + " of " + formatBytes(total);
        if (elapsed >= minRateSeconds && position > 0) {
            const double rate = static_cast<double>(position) / elapsed;
            tail += "  " + formatBytes(static_cast<std::int64_t>(rate)) + "/s";
            tail += "  " + formatDuration(static_cast<double>(total - position) / rate) + " left";
        }
        // The bar takes what the width leaves beside the longest tail, within limits, so
        // that it keeps its length while the numbers change.
        const std::size_t fixed = line.size() + 4 + std::max(tail.size(), reservedTail);
        std::size_t cells = width > fixed + 1 ? width - fixed - 1 : 0;
        cells = std::min(cells, maxBarCells);
        if (cells >= minBarCells) {
            const std::size_t filled =
                total > 0
                    ? static_cast<std::size_t>(position * static_cast<std::int64_t>(cells) / total)
                    : 0;
            line += "  [";
            line.append(filled, '#');
            line.append(cells - filled, '-');
            line += "]";
        }
        line += tail;
        break;
    }
    case BarPhase::done:
    case BarPhase::failed:
        if (!bar.note.empty()) {
            line += ": " + bar.note;
        }
        break;
    }
    cutTo(line, width > 1 ? width - 1 : 0);
    return line;
}

Console::Console(std::FILE* out, std::FILE* err, bool barsEnabled)
    : out_(out), err_(err), barsEnabled_(barsEnabled) {}

Console::~Console() {
    finishBars();
}

void Console::statusLine(const std::string& prefix, const std::string& text) {
    std::lock_guard lock(mutex_);
    eraseBarsLocked();
    const std::string line = escapeMessageText(prefix) + escapeStatusText(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fflush(out_);
    drawBarsLocked();
}

void Console::messageText(const std::string& prefix, const std::string& text) {
    std::lock_guard lock(mutex_);
    eraseBarsLocked();
    std::fflush(out_);
    std::string block;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        block += escapeMessageText(prefix) + escapeMessageText(text.substr(start, end - start));
        block += '\n';
        start = end + 1;
    }
    std::fwrite(block.data(), 1, block.size(), err_);
    std::fflush(err_);
    drawBarsLocked();
}

void Console::plainLine(const std::string& text) {
    std::lock_guard lock(mutex_);
    eraseBarsLocked();
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
    drawBarsLocked();
}

int Console::addBar(const BarState& state) {
    if (!barsEnabled_) {
        return -1;
    }
    std::lock_guard lock(mutex_);
    eraseBarsLocked();
    bars_.push_back(state);
    drawBarsLocked();
    return static_cast<int>(bars_.size()) - 1;
}

void Console::updateBar(int index, const BarState& state) {
    if (!barsEnabled_ || index < 0) {
        return;
    }
    std::lock_guard lock(mutex_);
    if (static_cast<std::size_t>(index) >= bars_.size()) {
        return;
    }
    const bool phaseChanged = bars_[index].phase != state.phase;
    bars_[index] = state;
    if (phaseChanged || Clock::now() - lastDraw_ >= redrawInterval) {
        eraseBarsLocked();
        drawBarsLocked();
    }
}

void Console::tick() {
    if (!barsEnabled_) {
        return;
    }
    std::lock_guard lock(mutex_);
    if (Clock::now() - lastDraw_ >= redrawInterval) {
        eraseBarsLocked();
        drawBarsLocked();
    }
}

void Console::finishBars() {
    std::lock_guard lock(mutex_);
    eraseBarsLocked();
    barsFinished_ = true;
}

void Console::eraseBarsLocked() {
    if (drawnLines_ == 0) {
        return;
    }
    // Up to the first bar line, then clear from there to the end of the screen.
    std::fprintf(err_, "\r\033[%dA\033[J", drawnLines_);
    std::fflush(err_);
    drawnLines_ = 0;
}

void Console::drawBarsLocked() {
    if (!barsEnabled_ || barsFinished_ || bars_.empty()) {
        return;
    }
    const auto now = Clock::now();
    const std::size_t width = terminalWidth();
    std::size_t labelWidth = 0;
    for (const BarState& bar : bars_) {
        labelWidth = std::max(labelWidth, bar.label.size());
    }
    std::string block;
    for (const BarState& bar : bars_) {
        block += renderBar(bar, now, width, labelWidth);
        block += '\n';
    }
    std::fwrite(block.data(), 1, block.size(), err_);
    std::fflush(err_);
    drawnLines_ = static_cast<int>(bars_.size());
    lastDraw_ = now;
}

std::size_t Console::terminalWidth() const {
    winsize size{};
    if (::ioctl(::fileno(err_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return fallbackWidth;
}

} // namespace sorbel::cli
