// GuiCallGate: carries a call from any thread onto the GUI thread and waits until it ran.
//
// The download worker reports through calls that must return only after they took effect on
// the window, yet the GUI thread may itself be waiting for the worker while it shuts down.
// A plain blocking queued call would then hang both threads; this gate can be closed.
//
// Contract:
//  - call(fn): on the context object's thread, runs fn at once. On any other thread, posts
//    fn to that thread and blocks until fn has run there, or until close(). Returns true
//    when fn ran. fn may open a modal box: the wait lasts until fn returns.
//  - close(): any thread, idempotent. Every waiting caller returns at once; from then on
//    call() runs nothing and returns false, and a posted fn that the GUI thread reaches
//    afterwards is skipped.
//  - Destroying the context object drops posted calls that have not run; close the gate
//    before that, so that no caller waits for them.
#pragma once

#include <QObject>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace sorbel::ui {

class GuiCallGate {
public:
    explicit GuiCallGate(QObject* context);

    bool call(std::function<void()> fn);
    void close();
    bool closed() const;

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        bool closed = false;
    };

    QObject* context_;
    std::shared_ptr<Shared> shared_;
};

} // namespace sorbel::ui
