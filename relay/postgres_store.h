#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "relay/store.h"

namespace merrowfax::relay {

// State shared by the relay nodes behind one address, in one PostgreSQL
// database: the same tables and meaning as the SQLite store, text ordered
// bytewise (COLLATE "C") so that directory pages and cursors agree with it.
//
// The store is called from the storage pool's and the registrar's threads,
// each holding at most one connection at a time, so the pool is sized to
// them. A connection that breaks is dropped and a new one made at the next
// call: while the database is away calls throw, and after a failed connect
// they throw at once for `reconnectPause` instead of each waiting on the
// network. Statements are prepared once per connection, except the
// directory's, which are planned for their values (a dense prefix wants
// another plan than a sparse one).
class PostgresStore final : public Store {
public:
    struct Options {
        std::size_t connections = 8;
        // The longest any call waits: to connect, for a statement (a lock
        // included, enforced by the server too), or for a free connection.
        std::chrono::milliseconds timeout{10'000};
        std::chrono::milliseconds reconnectPause{1'000};
    };

    // Connects and brings the schema up to date; throws when the database
    // cannot be reached or has a schema newer than this build.
    PostgresStore(std::string conninfo, Options options);
    ~PostgresStore() override;
    PostgresStore(const PostgresStore&) = delete;
    PostgresStore& operator=(const PostgresStore&) = delete;

    static int schemaVersion();
    int storedVersion();

    void underNumberLock(const std::string& number, bool quick,
                         const std::function<void()>& decision) override;

    std::optional<NumberRecord> number(const std::string& number) override;
    void saveProfile(const Profile& profile, Seconds now) override;
    void saveProfiles(const std::vector<Profile>& profiles, Seconds now) override;
    void setPinHash(const std::string& number, const std::string& hash) override;
    void touch(const std::string& number, Seconds now) override;
    void countCall(const std::string& number, bool placed) override;

    bool isTrusted(const std::string& number, const std::string& computerTag) override;
    void trust(const std::string& number, const std::string& computerTag,
               std::int64_t now) override;
    void untrust(const std::string& number, const std::string& computerTag) override;
    bool trustBy(const std::string& number, const std::string& by, const std::string& computerTag,
                 std::size_t limit, std::int64_t now) override;
    bool untrustBy(const std::string& number, const std::string& by,
                   const std::string& computerTag) override;
    std::vector<std::string> trustedComputers(const std::string& number) override;
    std::vector<std::string> untrustAllBut(const std::string& number,
                                           const std::string& keep) override;

    void rememberComputer(const std::string& computerTag, const std::string& number) override;
    std::optional<std::string> computerNumber(const std::string& computerTag) override;
    void forgetComputer(const std::string& computerTag) override;

    std::optional<std::string> book(const std::string& number) override;
    void storeBook(const std::string& number, const std::string& json) override;

    Throttle throttle(const std::string& key) override;
    void setThrottle(const std::string& key, const Throttle& value) override;
    Throttle updateThrottle(const std::string& key,
                            const std::function<Throttle(Throttle)>& change) override;
    void pruneThrottles(std::int64_t before) override;

    std::vector<DirectoryRow> directory(const DirectoryQuery& query) override;

private:
    struct Connection;
    class Result;
    class Lease;
    class Transaction;
    using Params = std::vector<std::string>;

    void migrate();
    std::unique_ptr<Connection> connect();
    std::unique_ptr<Connection> acquire();
    void release(std::unique_ptr<Connection> connection);
    // One statement with its parameters; `prepare` keeps it for the
    // connection's later calls.
    Result run(Connection& c, const std::string& sql, const Params& params = {},
               bool prepare = true);
    void command(Connection& c, const char* sql);  // no parameters, several statements allowed
    Result await(Connection& c);
    void writeThrottle(Connection& c, const std::string& key, const Throttle& value);
    // Runs `body` under the number's lock, in the transaction of a decision
    // under way on this thread or in one of its own.
    template <class Body>
    auto lockedNumber(const std::string& number, Body body);

    // Connections held on this thread, by store: calls made inside a
    // decision use the decision's connection (and its transaction and lock).
    static std::vector<std::pair<const PostgresStore*, Connection*>>& held();

    const std::string conninfo_;
    const Options options_;
    std::mutex lock_;
    std::condition_variable freed_;
    std::vector<std::unique_ptr<Connection>> idle_;
    std::size_t open_ = 0;  // idle and leased
    std::chrono::steady_clock::time_point retryAt_{};
    std::string lastError_;
    enum class Health { starting, up, down } health_ = Health::starting;
};

}  // namespace merrowfax::relay
