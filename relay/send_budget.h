#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace merrowfax::relay {

// The bytes waiting in send queues, over the whole service and per client
// address. Each connection holds an Account; adding and releasing bytes are
// a few relaxed atomic additions. When a total goes over its budget, the
// connection holding the most queued bytes in that scope is cut (its `cut`
// callback runs on the caller's thread and must only post): readers that
// keep up hold little, so the slowest go first, whoever happened to enqueue.
class SendBudget {
    struct Pool;

public:
    class Account {
    public:
        ~Account();
        Account(const Account&) = delete;
        Account& operator=(const Account&) = delete;

        void add(std::size_t bytes);
        void release(std::size_t bytes);
        // Set once the budget chose this connection; it should stop queuing.
        bool cut() const { return cut_.load(std::memory_order_relaxed); }

    private:
        friend class SendBudget;
        Account(SendBudget& budget, std::shared_ptr<Pool> address, std::function<void()> onCut)
            : budget_(budget), address_(std::move(address)), onCut_(std::move(onCut)) {}

        SendBudget& budget_;
        std::shared_ptr<Pool> address_;
        std::function<void()> onCut_;
        std::atomic<std::int64_t> bytes_{0};
        std::atomic<bool> cut_{false};
        std::int64_t doomed_ = 0;  // counted as leaving when cut; under the lock
        std::list<Account*>::iterator everywhere_;
        std::list<Account*>::iterator inAddress_;
    };

    SendBudget(std::size_t total, std::size_t perAddress);

    std::unique_ptr<Account> open(const std::string& address, std::function<void()> onCut);

    std::int64_t queued() const { return all_.bytes.load(std::memory_order_relaxed); }

private:
    // Bytes queued in one scope; `doomed` are those of connections already
    // cut, still counted until they close.
    struct Pool {
        std::atomic<std::int64_t> bytes{0};
        std::int64_t doomed = 0;  // under the lock
        std::list<Account*> members;
        std::string address;
    };

    void enforce(Account& account);
    bool over(const Pool& pool, std::size_t limit) const;
    void close(Account& account);

    const std::size_t total_;
    const std::size_t perAddress_;
    std::mutex lock_;
    Pool all_;
    std::unordered_map<std::string, std::weak_ptr<Pool>> addresses_;
};

}  // namespace merrowfax::relay
