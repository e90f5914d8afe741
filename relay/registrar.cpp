#include "relay/registrar.h"

#include <algorithm>
#include <chrono>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>

#include "relay/fold.h"
#include "relay/json.h"
#include "relay/limits.h"
#include "relay/log.h"

namespace merrowfax::relay {
namespace {

std::string numberKey(const std::string& number) {
    return "n:" + number;
}

// The client's network: an IPv6 client usually holds a whole /64, so its
// single address would limit nothing.
std::string networkOf(const std::string& address) {
    boost::system::error_code ec;
    const auto ip = boost::asio::ip::make_address(address, ec);
    if (ec || !ip.is_v6() || ip.to_v6().is_v4_mapped()) return address;
    auto bytes = ip.to_v6().to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return boost::asio::ip::address_v6(bytes).to_string() + "/64";
}

Verdict busyVerdict() {
    Verdict v;
    v.retry = true;
    return v;
}

}  // namespace

// Addresses are kept only as keyed hashes.
std::string Registrar::addressKey(const std::string& address) const {
    return "a:" + secrets_.tag("address", networkOf(address));
}

Registrar::Registrar(Store& store, const Secrets& secrets, const Config& config, Metrics& metrics)
    : store_(store),
      secrets_(secrets),
      config_(config),
      metrics_(metrics),
      decisions_(static_cast<std::size_t>(std::max(1, config.decisionThreads))),
      hashing_(static_cast<std::size_t>(std::max(1, config.hashThreads))) {}

Registrar::~Registrar() {
    stop();
}

void Registrar::stop() {
    stopped_ = true;
    decisions_.join();
    hashing_.join();
}

std::string Registrar::computerTag(const std::string& computer) const {
    return secrets_.tag("computer", computer);
}

bool Registrar::submit(Registration request, std::string address,
                       std::function<void(Verdict)> done) {
    if (stopped_ || queued_.fetch_add(1) >= config_.decisionQueue) {
        --queued_;
        return false;
    }
    start({std::move(request), std::move(address), std::move(done)});
    return true;
}

// A number already under decision keeps the newcomer until it is free.
void Registrar::start(Job job) {
    {
        std::lock_guard guard(lock_);
        auto [it, fresh] = busy_.try_emplace(job.request.number);
        if (!fresh) {
            it->second.push_back(std::move(job));
            return;
        }
    }
    boost::asio::post(decisions_,
                      [this, job = std::move(job)]() mutable { cheap(std::move(job)); });
}

void Registrar::cheap(Job job) {
    if (auto verdict = run(job, false)) return finish(job, std::move(*verdict));
    queueHash(std::move(job));
}

void Registrar::queueHash(Job job) {
    const std::string network = networkOf(job.address);
    {
        // Also while stopping: the decision was submitted before, and the
        // hashing threads are joined only after these.
        std::lock_guard guard(lock_);
        if (hashWaiting_ < config_.hashQueue) {
            auto& queue = hashQueues_[network];
            if (queue.size() < config_.hashPerAddress) {
                if (queue.empty()) turns_.push_back(network);
                queue.push_back(std::move(job));
                ++hashWaiting_;
                boost::asio::post(hashing_, [this] { serveHash(); });
                return;
            }
            if (queue.empty()) hashQueues_.erase(network);
        }
    }
    finish(job, busyVerdict());
}

// One job per call, from the network whose turn it is.
void Registrar::serveHash() {
    Job job;
    {
        std::lock_guard guard(lock_);
        if (turns_.empty()) return;
        const std::string network = std::move(turns_.front());
        turns_.pop_front();
        const auto it = hashQueues_.find(network);
        job = std::move(it->second.front());
        it->second.pop_front();
        if (it->second.empty()) {
            hashQueues_.erase(it);
        } else {
            turns_.push_back(network);
        }
        --hashWaiting_;
    }
    auto verdict = run(job, true);
    finish(job, verdict ? std::move(*verdict) : busyVerdict());
}

void Registrar::finish(Job& job, Verdict verdict) {
    job.done(std::move(verdict));
    std::optional<Job> next;
    {
        std::lock_guard guard(lock_);
        const auto it = busy_.find(job.request.number);
        if (it->second.empty()) {
            busy_.erase(it);
        } else {
            next = std::move(it->second.front());
            it->second.pop_front();
        }
    }
    --queued_;
    if (!next) return;
    if (stopped_) return finish(*next, busyVerdict());
    boost::asio::post(decisions_,
                      [this, job = std::move(*next)]() mutable { cheap(std::move(job)); });
}

std::optional<Verdict> Registrar::run(const Job& job, bool mayHash) {
    std::optional<Verdict> verdict;
    Effects effects;
    try {
        store_.underNumberLock(job.request.number, !mayHash, [&] {
            effects = {};
            verdict = decideLocked(job.request, job.address, mayHash, effects);
        });
    } catch (const std::exception& e) {
        logEvent(Level::error, "storage_error", {{"error", e.what()}});
        Verdict refused;  // storage failed: refuse rather than guess
        refused.reason = "The service could not check this number. Try again later.";
        return refused;
    }
    if (revoke_)
        for (const auto& revocation : effects.revocations) revoke_(revocation);
    if (effects.failed) {
        // A day without failures forgives a number or an address. Not in the
        // decision's step: that would hold other numbers' throttles with it.
        try {
            store_.pruneThrottles(unixMillis() - config_.pinLockMax.count());
        } catch (const std::exception& e) {
            logEvent(Level::warning, "storage_error", {{"error", e.what()}});
        }
    }
    return verdict;
}

bool Registrar::locked(const std::string& key, std::int64_t now) {
    return store_.throttle(key).lockedUntil > now;
}

// Each count is read and written in one step: wrong PINs tried at once on
// several nodes all count.
void Registrar::countFailure(const std::string& number, const std::string& address,
                             std::int64_t now, Effects& effects) {
    effects.failed = true;
    // What pruning would drop counts as gone already.
    const std::int64_t forgiven = now - config_.pinLockMax.count();
    const auto fresh = [&](Throttle t) {
        return t.windowStart < forgiven && t.lockedUntil < forgiven ? Throttle{} : t;
    };
    store_.updateThrottle(numberKey(number), [&](Throttle n) {
        n = fresh(n);
        ++n.failures;
        n.windowStart = now;
        if (n.failures >= config_.pinFailuresBeforeLock) {
            // 15 minutes after the fifth, doubling with each further failure.
            const int doublings = std::min(n.failures - config_.pinFailuresBeforeLock, 30);
            const auto wait = std::min<std::int64_t>(config_.pinLock.count() << doublings,
                                                     config_.pinLockMax.count());
            n.lockedUntil = now + wait;
        }
        return n;
    });
    store_.updateThrottle(addressKey(address), [&](Throttle a) {
        a = fresh(a);
        if (now - a.windowStart >= config_.addressWindow.count()) a = {0, now, 0};
        ++a.failures;
        if (a.failures >= config_.addressPinFailures)
            a.lockedUntil = a.windowStart + config_.addressWindow.count();
        return a;
    });
}

// New numbers per network in a fixed window; `count` takes one, in one step
// with the check, since different numbers from one network race here.
bool Registrar::newNumberAllowed(const std::string& address, std::int64_t now, bool count) {
    if (config_.newNumbersPerWindow == 0) return true;
    const std::string key = "new" + addressKey(address);
    const auto full = [&](const Throttle& t) {
        return now - t.windowStart < config_.newNumberWindow.count() &&
               static_cast<std::size_t>(t.failures) >= config_.newNumbersPerWindow;
    };
    if (!count) return !full(store_.throttle(key));
    bool allowed = false;
    store_.updateThrottle(key, [&](Throttle t) {
        if (now - t.windowStart >= config_.newNumberWindow.count()) t = {0, now, 0};
        allowed = !full(t);
        if (allowed) ++t.failures;
        return t;
    });
    return allowed;
}

// Whoever proves the PIN owns the number: when it has as many trusted
// computers as it may, the least recently used one makes room and its
// connections close.
void Registrar::trustOwner(const std::string& number, const std::string& computer, std::int64_t now,
                           Effects& effects) {
    if (!store_.isTrusted(number, computer)) {
        auto trusted = store_.trustedComputers(number);
        Revocation evicted{number, {}, false};
        while (!trusted.empty() && trusted.size() >= config_.maxTrusted) {
            store_.untrust(number, trusted.back());
            evicted.computers.push_back(std::move(trusted.back()));
            trusted.pop_back();
        }
        if (!evicted.computers.empty()) effects.revocations.push_back(std::move(evicted));
    }
    store_.trust(number, computer, now);
}

std::optional<Verdict> Registrar::decideLocked(const Registration& r, const std::string& address,
                                               bool mayHash, Effects& effects) {
    const std::int64_t now = unixMillis();
    const std::string computer = computerTag(r.computer);
    const std::string key = foldName(r.name);
    const Profile profile{r.number, r.name, key, indexLetter(key), r.device, r.kind};
    const auto record = store_.number(r.number);
    const bool hadPin = record && !record->pinHash.empty();
    Verdict v;
    v.computer = computer;
    auto refuse = [&](const char* reason) {
        v.accepted = false;
        v.reason = reason;
        return v;
    };
    // Every other computer loses the number: a PIN change by its owner.
    auto revokeOthers = [&] {
        store_.untrustAllBut(r.number, computer);
        effects.revocations.push_back({r.number, {computer}, true});
    };

    if (!hadPin) {
        // A new number, or one that never chose a PIN: whoever comes takes it,
        // and a PIN given now becomes its PIN. Not so for onboarding (a kind
        // and a PIN together): a freshly drawn number that someone else
        // already uses is taken, PIN or not.
        const bool trusted = record && store_.isTrusted(r.number, computer);
        if (record && !trusted && !r.kind.empty() && !r.pin.empty()) return refuse(kTakenReason);
        if (!record && !newNumberAllowed(address, now, false)) return refuse(kNewNumbersReason);
        const std::string& chosen = r.newPin.empty() ? r.pin : r.newPin;
        if (!chosen.empty() && !mayHash) return std::nullopt;
        if (!record) {
            if (!newNumberAllowed(address, now, true)) return refuse(kNewNumbersReason);
            trustOwner(r.number, computer, now, effects);  // its creator
        } else if (trusted) {
            store_.trust(r.number, computer, now);
        }
        v.proven = !record || trusted;
        if (!chosen.empty()) {
            v.proven = true;
            store_.saveProfile(profile, now / 1000);
            store_.setPinHash(r.number, secrets_.hashPin(r.number, chosen));
            bump(metrics_.pinSet);
            trustOwner(r.number, computer, now, effects);
            // Only trusted computers hold a number with a PIN: whoever walked
            // in while it had none goes.
            effects.revocations.push_back({r.number, store_.trustedComputers(r.number), true});
        }
    } else if (store_.isTrusted(r.number, computer)) {
        // A trusted computer needs no PIN; one it gives anyway is checked
        // (and counted) so that "PIN saved" is never said of a PIN not kept.
        v.proven = true;
        if (!r.pin.empty() || !r.newPin.empty()) {
            if (locked(numberKey(r.number), now)) {
                bump(metrics_.pinLocked);
                v.error = kThrottledReason;
            } else if (r.pin.empty()) {
                bump(metrics_.pinRejected);
                countFailure(r.number, address, now, effects);
                v.error = kPinUnchangedError;
            } else if (!mayHash) {
                return std::nullopt;
            } else if (!secrets_.verifyPin(record->pinHash, r.number, r.pin)) {
                bump(metrics_.pinRejected);
                countFailure(r.number, address, now, effects);
                v.error = r.newPin.empty() ? kPinKeptError : kPinUnchangedError;
            } else {
                bump(metrics_.pinAccepted);
                store_.setThrottle(numberKey(r.number), {});
                if (!r.newPin.empty()) {
                    store_.setPinHash(r.number, secrets_.hashPin(r.number, r.newPin));
                    bump(metrics_.pinSet);
                    revokeOthers();
                }
            }
        }
        store_.trust(r.number, computer, now);
    } else {
        // Someone else's number: a fresh number drawn in onboarding collided
        // with it, or a claim that must prove the PIN.
        if (!r.kind.empty()) return refuse(kTakenReason);
        if (locked(numberKey(r.number), now) || locked(addressKey(address), now)) {
            bump(metrics_.pinLocked);
            return refuse(kThrottledReason);
        }
        if (r.pin.empty()) {
            bump(metrics_.pinMissing);
            return refuse(kPinNeededReason);
        }
        if (!mayHash) return std::nullopt;
        if (!secrets_.verifyPin(record->pinHash, r.number, r.pin)) {
            bump(metrics_.pinRejected);
            countFailure(r.number, address, now, effects);
            return refuse(kWrongPinReason);
        }
        bump(metrics_.pinAccepted);
        store_.setThrottle(numberKey(r.number), {});
        trustOwner(r.number, computer, now, effects);
        v.proven = true;
        if (!r.newPin.empty()) {
            store_.setPinHash(r.number, secrets_.hashPin(r.number, r.newPin));
            bump(metrics_.pinSet);
            revokeOthers();
        }
    }

    store_.saveProfile(profile, now / 1000);
    store_.rememberComputer(computer, r.number);
    const auto stored = store_.number(r.number);
    v.accepted = true;
    v.hasPin = stored && !stored->pinHash.empty();
    v.business = stored && stored->kind == "business";
    if (const auto book = store_.book(r.number)) v.book = json::bookNumbers(*book);
    return v;
}

}  // namespace merrowfax::relay
