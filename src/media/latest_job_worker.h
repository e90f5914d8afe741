#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace merrowfax {

// One thread that runs jobs one after another, keeping only the newest job
// that waits: work that comes faster than it is done skips to the latest
// (camera frames to encode, received frames to decode). The destructor drops
// the waiting job and joins the running one, so no job outlives its owner.
class LatestJobWorker {
public:
    LatestJobWorker();
    ~LatestJobWorker();
    LatestJobWorker(const LatestJobWorker&) = delete;
    LatestJobWorker& operator=(const LatestJobWorker&) = delete;

    // Replaces the waiting job, if any.
    void submit(std::function<void()> job);

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::function<void()> waiting_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace merrowfax
