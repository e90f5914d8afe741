#include "relay/send_budget.h"

#include <vector>

namespace merrowfax::relay {

SendBudget::SendBudget(std::size_t total, std::size_t perAddress)
    : total_(total), perAddress_(perAddress) {}

std::unique_ptr<SendBudget::Account> SendBudget::open(const std::string& address,
                                                      std::function<void()> onCut) {
    std::lock_guard guard(lock_);
    auto& slot = addresses_[address];
    auto pool = slot.lock();
    if (!pool) {
        pool = std::make_shared<Pool>();
        pool->address = address;
        slot = pool;
    }
    std::unique_ptr<Account> account(new Account(*this, pool, std::move(onCut)));
    account->everywhere_ = all_.members.insert(all_.members.end(), account.get());
    account->inAddress_ = pool->members.insert(pool->members.end(), account.get());
    return account;
}

SendBudget::Account::~Account() {
    budget_.close(*this);
}

void SendBudget::Account::add(std::size_t bytes) {
    const auto n = static_cast<std::int64_t>(bytes);
    bytes_.fetch_add(n, std::memory_order_relaxed);
    const auto here = address_->bytes.fetch_add(n, std::memory_order_relaxed) + n;
    const auto all = budget_.all_.bytes.fetch_add(n, std::memory_order_relaxed) + n;
    // Doomed bytes are left out only under the lock; the plain sums decide
    // whether it is worth taking.
    if (here > static_cast<std::int64_t>(budget_.perAddress_) ||
        all > static_cast<std::int64_t>(budget_.total_))
        budget_.enforce(*this);
}

void SendBudget::Account::release(std::size_t bytes) {
    const auto n = static_cast<std::int64_t>(bytes);
    bytes_.fetch_sub(n, std::memory_order_relaxed);
    address_->bytes.fetch_sub(n, std::memory_order_relaxed);
    budget_.all_.bytes.fetch_sub(n, std::memory_order_relaxed);
}

bool SendBudget::over(const Pool& pool, std::size_t limit) const {
    return pool.bytes.load(std::memory_order_relaxed) - pool.doomed >
           static_cast<std::int64_t>(limit);
}

void SendBudget::enforce(Account& account) {
    std::vector<std::function<void()>> cuts;
    {
        std::lock_guard guard(lock_);
        auto cutLargest = [&](Pool& pool, std::size_t limit) {
            while (over(pool, limit)) {
                Account* largest = nullptr;
                std::int64_t most = 0;
                for (Account* member : pool.members) {
                    const auto held = member->bytes_.load(std::memory_order_relaxed);
                    if (!member->cut() && held > most) {
                        most = held;
                        largest = member;
                    }
                }
                if (!largest) return;
                largest->cut_.store(true, std::memory_order_relaxed);
                largest->doomed_ = most;
                largest->address_->doomed += most;
                all_.doomed += most;
                cuts.push_back(largest->onCut_);
            }
        };
        cutLargest(*account.address_, perAddress_);
        cutLargest(all_, total_);
    }
    // Outside the lock: a callback may drop the last reference to a session,
    // whose account then closes.
    for (auto& cut : cuts) cut();
}

void SendBudget::close(Account& account) {
    std::lock_guard guard(lock_);
    all_.members.erase(account.everywhere_);
    account.address_->members.erase(account.inAddress_);
    account.address_->doomed -= account.doomed_;
    all_.doomed -= account.doomed_;
    const auto left = account.bytes_.exchange(0, std::memory_order_relaxed);
    account.address_->bytes.fetch_sub(left, std::memory_order_relaxed);
    all_.bytes.fetch_sub(left, std::memory_order_relaxed);
    if (account.address_->members.empty()) addresses_.erase(account.address_->address);
}

}  // namespace merrowfax::relay
