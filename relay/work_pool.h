#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

#include "relay/metrics.h"

#include <boost/asio/thread_pool.hpp>

namespace merrowfax::relay {

// A few threads for blocking work (storage), so that I/O threads never wait
// on the database. The queue is bounded: when it is full, post() refuses and
// the caller drops or refuses the request instead of piling work up.
class WorkPool {
public:
    // With `metrics`, counts refusals and times every job.
    WorkPool(std::size_t threads, std::size_t maxQueued, Metrics* metrics = nullptr);
    ~WorkPool();
    WorkPool(const WorkPool&) = delete;
    WorkPool& operator=(const WorkPool&) = delete;

    // Runs `job` on a pool thread; false when the queue is full or stopped.
    // A job that throws is logged and dropped.
    bool post(std::function<void()> job);

    // Jobs queued or running now.
    std::size_t pending() const { return queued_.load(); }

    // Runs what is queued, then joins; later posts are refused.
    void stop();

private:
    boost::asio::thread_pool pool_;
    std::size_t maxQueued_;
    Metrics* metrics_;
    std::atomic<std::size_t> queued_{0};
    std::atomic<bool> stopped_{false};
};

}  // namespace merrowfax::relay
