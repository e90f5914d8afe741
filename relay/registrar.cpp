#include "relay/registrar.h"

#include <algorithm>
#include <chrono>

#include <boost/asio/post.hpp>

#include "relay/fold.h"
#include "relay/json.h"

namespace merrowfax::relay {
namespace {

std::int64_t nowMillis() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string numberKey(const std::string& number) {
    return "n:" + number;
}

}  // namespace

// Addresses are kept only as keyed hashes.
std::string Registrar::addressKey(const std::string& address) const {
    return "a:" + secrets_.tag("address", address);
}

Registrar::Registrar(Store& store, const Secrets& secrets, const Config& config)
    : store_(store),
      secrets_(secrets),
      config_(config),
      pool_(static_cast<std::size_t>(std::max(1, config.hashThreads))) {}

Registrar::~Registrar() {
    stop();
}

void Registrar::stop() {
    stopped_ = true;
    pool_.join();
}

std::string Registrar::computerTag(const std::string& computer) const {
    return secrets_.tag("computer", computer);
}

bool Registrar::submit(Registration request, std::string address,
                       std::function<void(Verdict)> done) {
    if (stopped_ || queued_.fetch_add(1) >= config_.hashQueue) {
        --queued_;
        return false;
    }
    boost::asio::post(pool_, [this, request = std::move(request), address = std::move(address),
                              done = std::move(done)] {
        Verdict verdict;
        try {
            verdict = decide(request, address);
        } catch (const std::exception&) {
            verdict.accepted = false;  // storage failed: refuse rather than guess
            verdict.reason = "The service could not check this number. Try again later.";
        }
        --queued_;
        done(std::move(verdict));
    });
    return true;
}

Verdict Registrar::decide(const Registration& request, const std::string& address) {
    std::lock_guard guard(stripes_[std::hash<std::string>{}(request.number) % stripes_.size()]);
    return decideLocked(request, address);
}

bool Registrar::locked(const std::string& key, std::int64_t now) {
    return store_.throttle(key).lockedUntil > now;
}

void Registrar::countFailure(const std::string& number, const std::string& address,
                             std::int64_t now) {
    // A day without failures forgives a number or an address.
    store_.pruneThrottles(now - config_.pinLockMax.count());
    Throttle n = store_.throttle(numberKey(number));
    ++n.failures;
    n.windowStart = now;
    if (n.failures >= config_.pinFailuresBeforeLock) {
        // 15 minutes after the fifth, doubling with each further failure.
        const int doublings = std::min(n.failures - config_.pinFailuresBeforeLock, 30);
        const auto wait = std::min<std::int64_t>(config_.pinLock.count() << doublings,
                                                 config_.pinLockMax.count());
        n.lockedUntil = now + wait;
    }
    store_.setThrottle(numberKey(number), n);

    const std::string key = addressKey(address);
    Throttle a = store_.throttle(key);
    if (now - a.windowStart >= config_.addressWindow.count()) a = {0, now, 0};
    ++a.failures;
    if (a.failures >= config_.addressPinFailures)
        a.lockedUntil = a.windowStart + config_.addressWindow.count();
    store_.setThrottle(key, a);
}

Verdict Registrar::decideLocked(const Registration& r, const std::string& address) {
    const std::int64_t now = nowMillis();
    const std::string computer = computerTag(r.computer);
    const std::string key = foldName(r.name);
    const Profile profile{r.number, r.name, key, indexLetter(key), r.device, r.kind};
    const auto record = store_.number(r.number);
    const bool hadPin = record && !record->pinHash.empty();
    Verdict v;
    auto refuse = [&](const char* reason) {
        v.accepted = false;
        v.reason = reason;
        return v;
    };

    if (!hadPin) {
        // A new number, or one that never chose a PIN: whoever comes takes it,
        // and a PIN given now becomes its PIN. Not so for onboarding (a kind
        // and a PIN together): a freshly drawn number that someone else
        // already uses is taken, PIN or not.
        const bool trusted = record && store_.isTrusted(r.number, computer);
        if (record && !trusted && !r.kind.empty() && !r.pin.empty()) return refuse(kTakenReason);
        if (!record) store_.trust(r.number, computer);  // its creator
        v.proven = !record || trusted;
        const std::string& chosen = r.newPin.empty() ? r.pin : r.newPin;
        if (!chosen.empty()) {
            v.proven = true;
            store_.saveProfile(profile, now / 1000);
            store_.setPinHash(r.number, secrets_.hashPin(r.number, chosen));
            store_.trust(r.number, computer);
        }
    } else if (store_.isTrusted(r.number, computer)) {
        // A trusted computer needs no PIN; one it gives anyway is checked
        // (and counted) so that "PIN saved" is never said of a PIN not kept.
        v.proven = true;
        if (!r.pin.empty() || !r.newPin.empty()) {
            if (locked(numberKey(r.number), now)) {
                v.error = kThrottledReason;
            } else if (r.pin.empty() || !secrets_.verifyPin(record->pinHash, r.number, r.pin)) {
                countFailure(r.number, address, now);
                v.error = r.newPin.empty() ? kPinKeptError : kPinUnchangedError;
            } else if (!r.newPin.empty()) {
                store_.setThrottle(numberKey(r.number), {});
                store_.setPinHash(r.number, secrets_.hashPin(r.number, r.newPin));
            } else {
                store_.setThrottle(numberKey(r.number), {});
            }
        }
    } else {
        // Someone else's number: a fresh number drawn in onboarding collided
        // with it, or a claim that must prove the PIN.
        if (!r.kind.empty()) return refuse(kTakenReason);
        if (locked(numberKey(r.number), now) || locked(addressKey(address), now))
            return refuse(kThrottledReason);
        if (r.pin.empty()) return refuse(kPinNeededReason);
        if (!secrets_.verifyPin(record->pinHash, r.number, r.pin)) {
            countFailure(r.number, address, now);
            return refuse(kWrongPinReason);
        }
        store_.setThrottle(numberKey(r.number), {});
        store_.trust(r.number, computer);
        v.proven = true;
        if (!r.newPin.empty()) store_.setPinHash(r.number, secrets_.hashPin(r.number, r.newPin));
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

void Registrar::trust(const std::string& number, const std::string& computer) {
    store_.trust(number, computerTag(computer));
}

void Registrar::untrust(const std::string& number, const std::string& computer) {
    store_.untrust(number, computerTag(computer));
}

}  // namespace merrowfax::relay
