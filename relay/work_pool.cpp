#include "relay/work_pool.h"

#include <algorithm>
#include <exception>
#include <string>

#include <boost/asio/post.hpp>

#include "relay/log.h"

namespace merrowfax::relay {

WorkPool::WorkPool(std::size_t threads, std::size_t maxQueued)
    : pool_(std::max<std::size_t>(1, threads)), maxQueued_(maxQueued) {}

WorkPool::~WorkPool() {
    stop();
}

bool WorkPool::post(std::function<void()> job) {
    if (stopped_ || queued_.fetch_add(1) >= maxQueued_) {
        --queued_;
        return false;
    }
    boost::asio::post(pool_, [this, job = std::move(job)] {
        try {
            job();
        } catch (const std::exception& e) {
            logLine(std::string("storage error: ") + e.what());
        }
        --queued_;
    });
    return true;
}

void WorkPool::stop() {
    stopped_ = true;
    pool_.join();
}

}  // namespace merrowfax::relay
