#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Durable state of the service behind one interface: the SQLite store is the
// single-node default; PostgreSQL is shared by several relay nodes. Every
// call throws std::runtime_error when storage fails: an answer is never made
// up, so a failed lookup never reads as "no such number" or "no PIN".
namespace merrowfax::relay {

using Seconds = std::int64_t;  // Unix time

struct NumberRecord {
    std::string number;
    std::string name;
    std::string device;
    std::string kind;     // "personal", "business" or empty
    std::string pinHash;  // empty: no PIN
    Seconds firstSeen = 0;
    Seconds lastSeen = 0;
    std::int64_t callsPlaced = 0;
    std::int64_t callsAnswered = 0;
};

struct Profile {
    std::string number;
    std::string name;
    std::string nameKey;  // folded name
    std::string letter;   // "A".."Z" or "#"
    std::string device;
    std::string kind;  // empty keeps the stored kind
};

// Wrong-PIN bookkeeping; times in milliseconds since the Unix epoch. For a
// number `windowStart` is its last failure; for an address, its hour's start.
struct Throttle {
    int failures = 0;
    std::int64_t windowStart = 0;
    std::int64_t lockedUntil = 0;
};

struct DirectoryRow {
    std::string number;
    std::string name;
    std::string nameKey;
    bool business = false;
};

struct DirectoryCursor {
    std::string nameKey;
    std::string number;
};

struct DirectoryQuery {
    std::string letter;        // letter mode when set
    std::string namePrefix;    // search: folded prefix of the name
    std::string numberPrefix;  // search: prefix of the number text or its digits
    bool digitsOnly = false;   // numberPrefix holds only digits
    std::optional<DirectoryCursor> after;
    std::size_t limit = 50;
};

class Store {
public:
    virtual ~Store() = default;

    // Runs `decision` while no other decision about `number` runs on any node
    // sharing this store; the calls it makes on this thread go through as one
    // step where the store can (all or nothing). `quick`: the decision does
    // no slow work (no PIN hash), so a store with one writer may hold it for
    // the decision and commit it once. One SQLite process alone on its file
    // has the registrar's queue per number, and runs a slow decision as it is.
    virtual void underNumberLock(const std::string& number, bool quick,
                                 const std::function<void()>& decision) = 0;

    virtual std::optional<NumberRecord> number(const std::string& number) = 0;
    // Creates or refreshes a number at registration; keeps PIN, counters, first seen.
    virtual void saveProfile(const Profile& profile, Seconds now) = 0;
    // Many profiles in one transaction (imports, test fixtures).
    virtual void saveProfiles(const std::vector<Profile>& profiles, Seconds now) = 0;
    virtual void setPinHash(const std::string& number, const std::string& hash) = 0;
    virtual void touch(const std::string& number, Seconds now) = 0;
    virtual void countCall(const std::string& number, bool placed) = 0;

    // Trusted computers of a number, each with when it last proved itself
    // (milliseconds), so that the least recently used can make room.
    virtual bool isTrusted(const std::string& number, const std::string& computerTag) = 0;
    // Trusts the computer, or notes that it was used now.
    virtual void trust(const std::string& number, const std::string& computerTag,
                       std::int64_t now) = 0;
    virtual void untrust(const std::string& number, const std::string& computerTag) = 0;
    // One trusted computer vouching for another, in one step so that a
    // revocation cannot slip between check and change: false when `by` is not
    // trusted or the number already has `limit` trusted computers.
    virtual bool trustBy(const std::string& number, const std::string& by,
                         const std::string& computerTag, std::size_t limit, std::int64_t now) = 0;
    virtual bool untrustBy(const std::string& number, const std::string& by,
                           const std::string& computerTag) = 0;
    // Most recently used first.
    virtual std::vector<std::string> trustedComputers(const std::string& number) = 0;
    // Untrusts every computer of the number but `keep`; returns those untrusted.
    virtual std::vector<std::string> untrustAllBut(const std::string& number,
                                                   const std::string& keep) = 0;

    virtual void rememberComputer(const std::string& computerTag, const std::string& number) = 0;
    virtual std::optional<std::string> computerNumber(const std::string& computerTag) = 0;
    virtual void forgetComputer(const std::string& computerTag) = 0;

    virtual std::optional<std::string> book(const std::string& number) = 0;  // JSON array
    virtual void storeBook(const std::string& number, const std::string& json) = 0;

    virtual Throttle throttle(const std::string& key) = 0;
    virtual void setThrottle(const std::string& key, const Throttle& value) = 0;
    // Reads, changes and writes the key's throttle in one step, so that
    // changes made at once by several threads or nodes all count; returns the
    // value written (no failures and no lock removes the key).
    virtual Throttle updateThrottle(const std::string& key,
                                    const std::function<Throttle(Throttle)>& change) = 0;
    // Drops throttles whose last failure and lock both ended before `before`.
    virtual void pruneThrottles(std::int64_t before) = 0;

    virtual std::vector<DirectoryRow> directory(const DirectoryQuery& query) = 0;
};

// What both stores share so that their pages agree row for row.
namespace paging {

// The digits of a number's text ("0-1-555" to "01555").
std::string digitsOf(const std::string& number);
// Greater than every UTF-8 text that starts with the prefix.
std::string prefixEnd(const std::string& prefix);
// Two pages in page order (folded name, then number) merged into one; a
// listing in both shows once.
std::vector<DirectoryRow> merged(std::vector<DirectoryRow> a, std::vector<DirectoryRow> b,
                                 std::size_t limit);

}  // namespace paging

}  // namespace merrowfax::relay
