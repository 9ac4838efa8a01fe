#pragma once
#include <QCoreApplication>
#include <QMetaObject>
#include <functional>
#include <memory>

namespace vivirov {

// Runs `job` on the GUI thread in a later turn of its event loop; callable
// from any thread. Dropped (never run) once the application object is gone,
// so a job must not be the only owner of something that has to finish.
inline void postToGui(std::function<void()> job) {
    if (auto* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(job), Qt::QueuedConnection);
}

// The weak end of a GUI-thread object's life, for callbacks that other
// threads hold and copy (a QPointer's bookkeeping lives in Qt and is not
// meant to be shared across threads). The object keeps the strong end as a
// member; only the GUI thread resolves the weak end, so the object cannot go
// while a resolved pointer is used.
template <class T>
class GuiLife {
public:
    using Weak = std::weak_ptr<T* const>;
    explicit GuiLife(T* object) : strong_(std::make_shared<T* const>(object)) {}
    Weak weak() const { return strong_; }
    // GUI thread only: the object, or null when it is gone.
    static T* resolve(const Weak& weak) {
        auto strong = weak.lock();
        return strong ? *strong : nullptr;
    }

private:
    std::shared_ptr<T* const> strong_;
};

} // namespace vivirov
