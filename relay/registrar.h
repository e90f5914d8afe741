#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/asio/thread_pool.hpp>

#include "relay/config.h"
#include "relay/hub.h"
#include "relay/metrics.h"
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
inline constexpr const char* kNewNumbersReason =
    "Too many new numbers from this network. Try again later.";

struct Verdict {
    bool accepted = false;
    bool retry = false;  // the service is busy: close without an answer
    std::string reason;  // why not, when refused
    bool hasPin = false;
    bool business = false;
    std::string error;  // a PIN change that failed while the registration stood
    // The connection proved the number (its creator, its PIN, a trusted
    // computer): only then may it trust further computers.
    bool proven = false;
    std::string computer;  // the connection's computer tag
    BookNumbers book;      // numbers of the stored contact book
};

// Connections to close after a decision: those of `number` on these
// computers (tags), or with `allBut` on every other computer.
struct Revocation {
    std::string number;
    std::vector<std::string> computers;
    bool allBut = false;
};

// Decides who may take a number: PINs, trusted computers, the wrong-PIN
// throttles and new numbers per network. Never on an I/O thread. A decision
// first runs without hashing on threads of its own; only one that needs
// Argon2id (slow and memory-hungry by design) goes on to the hashing threads,
// which serve each network's queue in turn so that one network's flood delays
// nobody else's. Two decisions about the same number never overlap: here
// through a queue per number, and across the nodes sharing a store through
// the store's lock on the number, which also makes each pass one step.
class Registrar {
public:
    using Revoker = std::function<void(const Revocation&)>;

    Registrar(Store& store, const Secrets& secrets, const Config& config, Metrics& metrics);
    ~Registrar();

    // Where revocations go (the hub); set before the first submit.
    void onRevoke(Revoker revoker) { revoke_ = std::move(revoker); }

    // Queues a decision; `done` runs on a pool thread (also with `retry` when
    // the hashing queues are full). False when even the first queue is full.
    bool submit(Registration request, std::string address, std::function<void(Verdict)> done);

    std::string computerTag(const std::string& computer) const;

    // Waits for the decisions submitted so far, hashes included, and for
    // their outcomes to be stored; later submits are refused.
    void stop();

private:
    struct Job {
        Registration request;
        std::string address;
        std::function<void(Verdict)> done;
    };
    // What a decision leaves to do once it is stored: connections to close
    // (only then, so that a connection checking its proof sees the change),
    // and old throttles to drop after a wrong PIN.
    struct Effects {
        std::vector<Revocation> revocations;
        bool failed = false;
    };

    void start(Job job);
    void cheap(Job job);
    void queueHash(Job job);
    void serveHash();
    void finish(Job& job, Verdict verdict);
    std::optional<Verdict> run(const Job& job, bool mayHash);
    // Absent when it needs a hash and `mayHash` is false; such a pass changes nothing.
    std::optional<Verdict> decideLocked(const Registration& request, const std::string& address,
                                        bool mayHash, Effects& effects);
    void trustOwner(const std::string& number, const std::string& computer, std::int64_t now,
                    Effects& effects);
    bool newNumberAllowed(const std::string& address, std::int64_t now, bool count);
    std::string addressKey(const std::string& address) const;
    bool locked(const std::string& key, std::int64_t now);
    void countFailure(const std::string& number, const std::string& address, std::int64_t now,
                      Effects& effects);

    Store& store_;
    const Secrets& secrets_;
    const Config& config_;
    Metrics& metrics_;
    Revoker revoke_;
    boost::asio::thread_pool decisions_;
    boost::asio::thread_pool hashing_;
    std::atomic<std::size_t> queued_{0};
    std::atomic<bool> stopped_{false};

    std::mutex lock_;
    // Numbers under decision, each with the registrations waiting for it.
    std::unordered_map<std::string, std::deque<Job>> busy_;
    // Registrations waiting for a hash, per network, served in turn.
    std::unordered_map<std::string, std::deque<Job>> hashQueues_;
    std::deque<std::string> turns_;
    std::size_t hashWaiting_ = 0;
};

}  // namespace merrowfax::relay
