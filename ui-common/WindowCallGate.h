#pragma once
// Blocking calls from background threads into a window's thread.
//
// Call() runs a function on the thread of the gate's context object and waits
// for it. Made from that thread itself it is a direct call (a blocking queued
// connection would deadlock there). Once Close() has run - the window does it
// before it goes - every waiting call returns at once as failed and every new
// call fails without waiting, so a background thread never hangs on a window
// that is gone and never touches it afterwards. A call that has already begun
// on the window thread is allowed to finish.
#include <QObject>
#include <QPointer>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>

namespace ui {

class WindowCallGate {
public:
    explicit WindowCallGate(QObject* context);
    ~WindowCallGate();  // Close()
    WindowCallGate(const WindowCallGate&) = delete;
    WindowCallGate& operator=(const WindowCallGate&) = delete;

    // Fails all waiting and later calls. Call it on the window thread before
    // the context object (or anything the calls touch) is destroyed, and
    // before joining a thread that may be waiting in Call().
    void Close();
    bool IsClosed() const;

    // Runs `f` on the window thread and waits. For a function returning void
    // the result is true when it ran; otherwise the value, or nothing when
    // the gate was closed before the function could run.
    template <class F>
    auto Call(F&& f) {
        using R = std::invoke_result_t<F&>;
        if constexpr (std::is_void_v<R>) {
            return Run([&f] { f(); });
        } else {
            std::optional<R> out;
            if (!Run([&f, &out] { out.emplace(f()); })) out.reset();
            return out;
        }
    }

    // Queues `f` on the window thread without waiting; it is skipped when the
    // gate is closed by the time it would run.
    void Post(std::function<void()> f);

private:
    struct State;
    bool Run(std::function<void()> fn);

    QPointer<QObject> context_;
    std::shared_ptr<State> state_;
};

}  // namespace ui
