// MessageSink: where the engine sends a failure message for the operator.
//
// The engine never prints and never shows a box itself. Whoever owns a SerialPort or a
// worker hands it a sink: the GUI shows a modal box, the CLI prints to stderr, a test
// records. showMessage returns only when the operator has dismissed the message (for the
// GUI: when the box is closed); it may be called from the worker thread.
#pragma once

#include <string>

namespace sorbel {

class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual void showMessage(const std::string& text) = 0;
};

} // namespace sorbel
