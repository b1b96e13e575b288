// HostGuard: the worker's and the job's only way to their host once a stop may be asked for.
//
// Contract:
//  - Wraps a WorkerHost and a stop token. Every display operation and showMessage forwards
//    to the host only while no stop has been requested; afterwards each is dropped and
//    returns at once. So a stopped worker never calls its host again (a call that had already
//    begun when the stop came is the host's to let return).
//  - It is a MessageSink itself, to be handed to SerialPort::setMessageSink and sendPacket,
//    so port and packet failures reach the host's boxes under the same rule.
//  - Called on the worker thread only; stopping() may be asked from any thread.
#pragma once

#include "loader/WorkerHost.h"
#include "serial/MessageSink.h"

#include <stop_token>
#include <string>

namespace sorbel {

class HostGuard final : public MessageSink {
public:
    HostGuard(WorkerHost& host, std::stop_token stop) : host_(host), stop_(std::move(stop)) {}

    bool stopping() const { return stop_.stop_requested(); }
    WorkerHost& host() const { return host_; }
    const std::stop_token& token() const { return stop_; }

    void addStatusLine(const std::string& text) {
        if (!stopping())
            host_.addStatusLine(text);
    }
    void setProgressRange(int upper) {
        if (!stopping())
            host_.setProgressRange(upper);
    }
    void setProgressPos(int position) {
        if (!stopping())
            host_.setProgressPos(position);
    }
    void enableButton(int id, bool enabled) {
        if (!stopping())
            host_.enableButton(id, enabled);
    }
    void showMessage(const std::string& text) override {
        if (!stopping())
            host_.showMessage(text);
    }

private:
    WorkerHost& host_;
    std::stop_token stop_;
};

} // namespace sorbel
