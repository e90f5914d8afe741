#include "media/latest_job_worker.h"

#include <utility>

namespace merrowfax {

LatestJobWorker::LatestJobWorker() : thread_([this] { run(); }) {}

LatestJobWorker::~LatestJobWorker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        waiting_ = nullptr;
    }
    wake_.notify_one();
    thread_.join();
}

void LatestJobWorker::submit(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        waiting_ = std::move(job);
    }
    wake_.notify_one();
}

void LatestJobWorker::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || waiting_; });
        if (stopping_) return;
        auto job = std::exchange(waiting_, nullptr);
        lock.unlock();
        job();
        lock.lock();
    }
}

}  // namespace merrowfax
