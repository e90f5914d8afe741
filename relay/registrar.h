#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <boost/asio/thread_pool.hpp>

#include "relay/config.h"
#include "relay/hub.h"
#include "relay/query.h"
#include "relay/secrets.h"
#include "relay/store.h"

namespace merrowfax::relay {

inline constexpr const char* kTakenReason =
    "That number is already taken. Choose a different line.";
inline constexpr const char* kThrottledReason = "Too many wrong PINs. Try again later.";
inline constexpr const char* kWrongPinReason = "Wrong PIN.";
inline constexpr const char* kPinNeededReason =
    "This number has a PIN. Enter it to use the number here.";
inline constexpr const char* kPinUnchangedError = "Wrong PIN. The PIN did not change.";
inline constexpr const char* kPinKeptError =
    "This number already has a PIN. Enter the current PIN to change it.";

struct Verdict {
    bool accepted = false;
    std::string reason;  // why not, when refused
    bool hasPin = false;
    bool business = false;
    std::string error;  // a PIN change that failed while the registration stood
    // The connection proved the number (its creator, its PIN, a trusted
    // computer): only then may it trust further computers.
    bool proven = false;
    BookNumbers book;  // numbers of the stored contact book
};

// Decides who may take a number: PINs, trusted computers and the wrong-PIN
// throttles. Decisions run on a small pool of their own (Argon2 is slow and
// memory-hungry by design), a few at a time, never on an I/O thread; two
// decisions about the same number never overlap.
class Registrar {
public:
    Registrar(Store& store, const Secrets& secrets, const Config& config);
    ~Registrar();

    // Queues a decision; `done` runs on a pool thread. False when the queue is
    // full (the caller refuses the connection for now).
    bool submit(Registration request, std::string address, std::function<void(Verdict)> done);

    // The decision itself, on the calling thread.
    Verdict decide(const Registration& request, const std::string& address);

    // Computers trusted with a number by one of its connections.
    void trust(const std::string& number, const std::string& computer);
    void untrust(const std::string& number, const std::string& computer);

    std::string computerTag(const std::string& computer) const;

    // Waits for queued decisions; later submits are refused.
    void stop();

private:
    Verdict decideLocked(const Registration& request, const std::string& address);
    std::string addressKey(const std::string& address) const;
    bool locked(const std::string& key, std::int64_t now);
    void countFailure(const std::string& number, const std::string& address, std::int64_t now);

    Store& store_;
    const Secrets& secrets_;
    const Config& config_;
    boost::asio::thread_pool pool_;
    std::atomic<std::size_t> queued_{0};
    std::atomic<bool> stopped_{false};
    std::array<std::mutex, 64> stripes_;
};

}  // namespace merrowfax::relay
