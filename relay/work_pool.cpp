#include "relay/work_pool.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>

#include <boost/asio/post.hpp>

#include "relay/log.h"

namespace merrowfax::relay {

WorkPool::WorkPool(std::size_t threads, std::size_t maxQueued, Metrics* metrics)
    : pool_(std::max<std::size_t>(1, threads)), maxQueued_(maxQueued), metrics_(metrics) {}

WorkPool::~WorkPool() {
    stop();
}

bool WorkPool::post(std::function<void()> job) {
    if (stopped_ || queued_.fetch_add(1) >= maxQueued_) {
        --queued_;
        if (metrics_) bump(metrics_->storeRefused);
        return false;
    }
    boost::asio::post(pool_, [this, job = std::move(job)] {
        const auto start = std::chrono::steady_clock::now();
        try {
            job();
        } catch (const std::exception& e) {
            logEvent(Level::error, "storage_error", {{"error", e.what()}});
        }
        if (metrics_) metrics_->storeSeconds.observe(std::chrono::steady_clock::now() - start);
        --queued_;
    });
    return true;
}

void WorkPool::stop() {
    stopped_ = true;
    pool_.join();
}

}  // namespace merrowfax::relay
