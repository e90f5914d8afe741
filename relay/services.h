#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "relay/config.h"
#include "relay/directory.h"
#include "relay/hub.h"
#include "relay/limits.h"
#include "relay/metrics.h"
#include "relay/registrar.h"
#include "relay/secrets.h"
#include "relay/send_budget.h"
#include "relay/store.h"
#include "relay/work_pool.h"

namespace merrowfax::relay {

// A live connection that shutdown must close.
class Closable {
public:
    virtual ~Closable() = default;
    virtual void shutdown() = 0;  // close politely (1001)
    virtual void abort() = 0;     // end now, keeping what it holds for the store
};

// Every live connection, weakly, so shutdown can close them all and learn
// when the last one is gone.
class Tracker {
public:
    std::uint64_t add(std::weak_ptr<Closable> item);
    void remove(std::uint64_t id);
    std::size_t size();
    void shutdownAll();
    void abortAll();
    // Runs `callback` (on the thread that removes it) once nothing is left,
    // or now when nothing is; empty to forget it.
    void whenEmpty(std::function<void()> callback);

private:
    std::vector<std::shared_ptr<Closable>> live();

    std::mutex lock_;
    std::uint64_t next_ = 1;
    std::unordered_map<std::uint64_t, std::weak_ptr<Closable>> items_;
    std::function<void()> whenEmpty_;
};

// A counted place for one client address; released with the last owner.
class AddressSlot {
public:
    AddressSlot(AddressCount& count, std::string address, Gauge& open)
        : count_(count), address_(std::move(address)), open_(open) {
        move(open_, 1);
    }
    ~AddressSlot() {
        count_.leave(address_);
        move(open_, -1);
    }
    AddressSlot(const AddressSlot&) = delete;
    AddressSlot& operator=(const AddressSlot&) = delete;
    const std::string& address() const { return address_; }

private:
    AddressCount& count_;
    std::string address_;
    Gauge& open_;
};

// What every session reaches; owned by the server and outliving the sessions.
struct Services {
    const Config& config;
    Store& store;
    Hub& hub;
    Registrar& registrar;
    Directory& directory;
    AddressRates& lookups;
    AddressRates& pages;
    Tracker& tracker;
    WorkPool& storeWork;  // every Store call from a session goes through it
    SendBudget& sendBudget;
    const Secrets& secrets;  // signs number statements
    Metrics& metrics;
    std::atomic<std::uint64_t> nextPeer{1};
    // Set once at shutdown: /healthz answers 503, nothing new registers and
    // every HTTP answer closes its connection.
    std::atomic<bool> draining{false};
};

}  // namespace merrowfax::relay
