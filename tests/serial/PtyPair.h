// Test helpers for the serial port: a pseudo-terminal pair standing in for the line, and a
// message sink that records.
//
// PtyPair: the test holds the master and plays the target; the port under test opens
// slavePath(). Every wait is bounded. Closing the master hangs up the slave.
// The pair also keeps a descriptor of its own on the slave, opened before any port, only to
// see how much input waits there: bytes written to the master reach the slave a moment
// later (the kernel moves them on a worker), and a test that reads with a short time-out
// waits for them first.
#pragma once

#include "serial/MessageSink.h"

#include <chrono>
#include <string>
#include <vector>

namespace sorbel::test {

class PtyPair {
public:
    PtyPair();  // fails the current test (ADD_FAILURE) if no pair can be made
    ~PtyPair(); // closes the master if still open
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }
    // The pair's own descriptor on the slave (see above).
    int observer() const { return observer_; }

    // Writes every byte to the master (the port reads them).
    void send(const std::string& bytes) const;
    // Reads from the master until n bytes arrived or the limit passed.
    std::string receive(std::size_t n,
                        std::chrono::milliseconds limit = std::chrono::seconds{5}) const;
    // Waits until at least n bytes wait in the slave's input queue; false after 10 s.
    bool waitInput(std::size_t n) const;
    // Hangs the line up for the slave.
    void closeMaster();

private:
    int master_ = -1;
    int observer_ = -1;
    std::string slavePath_;
};

struct RecordingSink : MessageSink {
    void showMessage(const std::string& text) override { messages.push_back(text); }
    // The first line of message i, or "" when there is none.
    std::string firstLine(std::size_t i = 0) const;
    std::vector<std::string> messages;
};

} // namespace sorbel::test
