// RecordingHost: a WorkerHost for tests. It records every call the worker and the job make,
// in order (status lines, progress range and position, button calls, messages), answers
// each at once (showMessage included, as if the operator pressed OK) and lets a test wait,
// with a bound, for a call to arrive.
//
// Every member may be called from any thread. onLine, when set before the worker starts,
// runs on the worker thread after a status line has been recorded, so a test can act at a
// precise point of a job (change the file, the target's flash, the path).
#pragma once

#include "loader/WorkerHost.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace sorbel::test {

class RecordingHost : public WorkerHost {
public:
    enum class Kind { line, range, position, button, message };
    struct Event {
        Kind kind;
        std::string text; // line or message text
        int value = 0;    // range, position or button id
        bool enabled = false;
    };

    void addStatusLine(const std::string& text) override {
        record({Kind::line, text});
        if (onLine)
            onLine(text);
    }
    void setProgressRange(int upper) override { record({Kind::range, {}, upper}); }
    void setProgressPos(int position) override { record({Kind::position, {}, position}); }
    void enableButton(int id, bool enabled) override { record({Kind::button, {}, id, enabled}); }
    void showMessage(const std::string& text) override { record({Kind::message, text}); }

    std::vector<Event> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return events_.size();
    }
    std::vector<std::string> lines() const { return texts(Kind::line); }
    std::vector<std::string> messages() const { return texts(Kind::message); }
    std::vector<int> positions() const { return values(Kind::position); }
    std::vector<int> ranges() const { return values(Kind::range); }
    // "1002 off", "1029 on", in call order.
    std::vector<std::string> buttons() const {
        std::vector<std::string> out;
        for (const Event& e : events())
            if (e.kind == Kind::button)
                out.push_back(std::to_string(e.value) + (e.enabled ? " on" : " off"));
        return out;
    }
    // The kernel id of the thread that made the last call (the worker's).
    pid_t callerThread() const {
        std::lock_guard lock(mutex_);
        return caller_;
    }

    // Waits until condition(events) holds or the limit has passed; returns the last answer.
    // condition runs under the host's lock: it must use its argument, not the host.
    bool waitFor(const std::function<bool(const std::vector<Event>&)>& condition,
                 std::chrono::milliseconds limit) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return condition(events_); });
    }
    // Waits for the occurrence-th call enableButton(id, enabled), counting from 1.
    bool waitForButton(int id, bool enabled, int occurrence,
                       std::chrono::milliseconds limit) const {
        return waitFor(
            [&](const std::vector<Event>& events) {
                return std::count_if(events.begin(), events.end(), [&](const Event& e) {
                           return e.kind == Kind::button && e.value == id && e.enabled == enabled;
                       }) >= occurrence;
            },
            limit);
    }
    bool waitForKind(Kind kind, std::chrono::milliseconds limit) const {
        return waitFor(
            [&](const std::vector<Event>& events) {
                return std::any_of(events.begin(), events.end(),
                                   [&](const Event& e) { return e.kind == kind; });
            },
            limit);
    }

    std::function<void(const std::string&)> onLine;

    static std::size_t countOf(const std::vector<Event>& events, Kind kind) {
        return static_cast<std::size_t>(std::count_if(
            events.begin(), events.end(), [&](const Event& e) { return e.kind == kind; }));
    }

private:
    void record(Event event) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(std::move(event));
            caller_ = static_cast<pid_t>(::syscall(SYS_gettid));
        }
        changed_.notify_all();
    }
    std::vector<std::string> texts(Kind kind) const {
        std::vector<std::string> out;
        for (const Event& e : events())
            if (e.kind == kind)
                out.push_back(e.text);
        return out;
    }
    std::vector<int> values(Kind kind) const {
        std::vector<int> out;
        for (const Event& e : events())
            if (e.kind == kind)
                out.push_back(e.value);
        return out;
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Event> events_;
    pid_t caller_ = 0;
};

} // namespace sorbel::test
