#pragma once
// Hops onto the GUI thread from engine and provider threads. Without a Qt
// application (kit-style tests, tools) the work runs at once on the calling
// thread, one piece of GUI work at a time, as it would on a GUI thread.
#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <functional>
#include <future>
#include <mutex>

namespace vivirov {

// Serialises GUI work when there is no GUI thread.
inline std::recursive_mutex& headlessGuiMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

inline bool onGuiThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

// Queues `fn` on the GUI thread without waiting for it.
inline void postToGuiThread(std::function<void()> fn) {
    if (QCoreApplication* app = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
    } else {
        std::lock_guard lock(headlessGuiMutex());
        fn();
    }
}

// Runs `fn` on the GUI thread and waits for its result. From a worker, the
// GUI thread's event loop must be turning (it always is in the app).
template <class F>
auto runOnGuiThread(F&& fn) -> decltype(fn()) {
    if (onGuiThread()) return fn();
    if (QCoreApplication::instance() == nullptr) {
        std::lock_guard lock(headlessGuiMutex());
        return fn();
    }
    std::packaged_task<decltype(fn())()> task(std::forward<F>(fn));
    auto result = task.get_future();
    postToGuiThread([&task] { task(); });
    return result.get();
}

} // namespace vivirov
