#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "relay/config.h"
#include "relay/directory.h"
#include "relay/hub.h"
#include "relay/limits.h"
#include "relay/registrar.h"
#include "relay/secrets.h"
#include "relay/send_budget.h"
#include "relay/store.h"
#include "relay/work_pool.h"

namespace merrowfax::relay {

// Anything with a connection that shutdown must close.
class Closable {
public:
    virtual ~Closable() = default;
    virtual void shutdown() = 0;
};

// Every open connection, weakly, so shutdown can close them all.
class Tracker {
public:
    std::uint64_t add(std::weak_ptr<Closable> item);
    void remove(std::uint64_t id);
    std::size_t size();
    void shutdownAll();

private:
    std::mutex lock_;
    std::uint64_t next_ = 1;
    std::unordered_map<std::uint64_t, std::weak_ptr<Closable>> items_;
};

// A counted place for one client address; released with the last owner.
class AddressSlot {
public:
    AddressSlot(AddressCount& count, std::string address)
        : count_(count), address_(std::move(address)) {}
    ~AddressSlot() { count_.leave(address_); }
    AddressSlot(const AddressSlot&) = delete;
    AddressSlot& operator=(const AddressSlot&) = delete;
    const std::string& address() const { return address_; }

private:
    AddressCount& count_;
    std::string address_;
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
    std::atomic<std::uint64_t> nextPeer{1};
};

}  // namespace merrowfax::relay
