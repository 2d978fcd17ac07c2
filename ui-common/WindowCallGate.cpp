#include "ui-common/WindowCallGate.h"

#include <QMetaObject>
#include <QThread>

#include <list>

namespace ui {

namespace {
enum class CallState { Queued, Running, Done, Cancelled };

struct PendingCall {
    CallState state = CallState::Queued;
};
}  // namespace

struct WindowCallGate::State {
    std::mutex mutex;
    std::condition_variable changed;
    bool closed = false;
    std::list<std::shared_ptr<PendingCall>> pending;
};

WindowCallGate::WindowCallGate(QObject* context)
    : context_(context), state_(std::make_shared<State>()) {}

WindowCallGate::~WindowCallGate() { Close(); }

void WindowCallGate::Close() {
    std::lock_guard lock(state_->mutex);
    state_->closed = true;
    for (auto& call : state_->pending)
        if (call->state == CallState::Queued) call->state = CallState::Cancelled;
    state_->changed.notify_all();
}

bool WindowCallGate::IsClosed() const {
    std::lock_guard lock(state_->mutex);
    return state_->closed;
}

bool WindowCallGate::Run(std::function<void()> fn) {
    std::shared_ptr<State> state = state_;
    auto call = std::make_shared<PendingCall>();
    std::list<std::shared_ptr<PendingCall>>::iterator entry;
    {
        // The window closes the gate before it goes, so while the gate is open
        // (checked under the lock) the context object is alive.
        std::lock_guard lock(state->mutex);
        QObject* context = context_.data();
        if (state->closed || context == nullptr) return false;
        if (QThread::currentThread() != context->thread()) {
            entry = state->pending.insert(state->pending.end(), call);
            // The queued function checks the call's state before it touches
            // `fn`, which lives on the caller's stack.
            const bool queued = QMetaObject::invokeMethod(
                context,
                [state, call, &fn] {
                    {
                        std::lock_guard inner(state->mutex);
                        if (call->state != CallState::Queued) return;
                        call->state = CallState::Running;
                    }
                    fn();
                    std::lock_guard inner(state->mutex);
                    call->state = CallState::Done;
                    state->changed.notify_all();
                },
                Qt::QueuedConnection);
            if (!queued) call->state = CallState::Cancelled;
        } else {
            call.reset();  // same thread: a direct call
        }
    }
    if (!call) {
        fn();
        return true;
    }

    std::unique_lock lock(state->mutex);
    state->changed.wait(lock, [&] {
        return call->state == CallState::Done || call->state == CallState::Cancelled;
    });
    const bool ran = call->state == CallState::Done;
    // A cancelled call may still sit in the context's event queue; it is
    // skipped there.
    call->state = CallState::Cancelled;
    state->pending.erase(entry);
    return ran;
}

void WindowCallGate::Post(std::function<void()> f) {
    std::shared_ptr<State> state = state_;
    std::lock_guard lock(state->mutex);
    QObject* context = context_.data();
    if (state->closed || context == nullptr) return;
    QMetaObject::invokeMethod(
        context,
        [state, f = std::move(f)] {
            {
                std::lock_guard inner(state->mutex);
                if (state->closed) return;
            }
            f();
        },
        Qt::QueuedConnection);
}

}  // namespace ui
