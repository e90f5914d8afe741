#pragma once

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThread>

#include <memory>
#include <mutex>
#include <utility>

namespace merrowfax {

// Moves work from any thread onto the thread of one object (the main thread),
// in the order it was posted from each thread. Work posted on that thread
// runs at once: a component that already calls back there (the internet
// line, a LAN link that posts its events) costs no second turn of the loop.
// Once the object is gone, or close() ran, posted work is dropped:
// components may call back after the model they served has been destroyed.
class MainThreadHop {
public:
    explicit MainThreadHop(QObject* target) : target_(target) {}

    template <typename Work>
    void post(Work&& work) {
        std::unique_lock lock(mutex_);
        if (!target_) return;
        if (QThread::currentThread() == target_->thread()) {
            // Not under the lock: the work may post again.
            lock.unlock();
            std::forward<Work>(work)();
            return;
        }
        QMetaObject::invokeMethod(target_, std::forward<Work>(work), Qt::QueuedConnection);
    }

    void close() {
        std::lock_guard lock(mutex_);
        target_ = nullptr;
    }

private:
    std::mutex mutex_;
    QObject* target_;
};

}  // namespace merrowfax
