#include "ui/GuiCallGate.h"

#include <QMetaObject>
#include <QThread>

namespace sorbel::ui {

GuiCallGate::GuiCallGate(QObject* context)
    : context_(context), shared_(std::make_shared<Shared>()) {}

bool GuiCallGate::call(std::function<void()> fn) {
    if (closed())
        return false;
    if (QThread::currentThread() == context_->thread()) {
        fn();
        return true;
    }

    // The flag lives as long as the posted call or the caller needs it, whichever is longer.
    auto ran = std::make_shared<bool>(false);
    auto finished = std::make_shared<bool>(false);
    auto shared = shared_;
    QMetaObject::invokeMethod(
        context_,
        [shared, ran, finished, fn = std::move(fn)] {
            bool skip;
            {
                std::lock_guard lock(shared->mutex);
                skip = shared->closed;
            }
            if (!skip)
                fn();
            {
                std::lock_guard lock(shared->mutex);
                *ran = !skip;
                *finished = true;
            }
            shared->done.notify_all();
        },
        Qt::QueuedConnection);

    std::unique_lock lock(shared->mutex);
    shared->done.wait(lock, [&] { return *finished || shared->closed; });
    return *ran;
}

void GuiCallGate::close() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->closed = true;
    }
    shared_->done.notify_all();
}

bool GuiCallGate::closed() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->closed;
}

} // namespace sorbel::ui
