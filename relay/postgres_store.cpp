#include "relay/postgres_store.h"

#include <libpq-fe.h>
#include <poll.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <unordered_map>

#include "relay/log.h"

namespace merrowfax::relay {
namespace {

using Clock = std::chrono::steady_clock;
using paging::digitsOf;
using paging::prefixEnd;

// Each entry moves the schema one version up; never edit a shipped entry.
// Ordered and compared text is COLLATE "C": bytewise, like SQLite.
const char* const kMigrations[] = {
    R"sql(
    CREATE TABLE numbers(
        number text COLLATE "C" PRIMARY KEY,
        name text NOT NULL DEFAULT '',
        name_key text COLLATE "C" NOT NULL DEFAULT '',
        letter text COLLATE "C" NOT NULL DEFAULT '#',
        digits text COLLATE "C" NOT NULL DEFAULT '',
        device text NOT NULL DEFAULT '',
        kind text NOT NULL DEFAULT '',
        pin_hash text NOT NULL DEFAULT '',
        first_seen bigint NOT NULL,
        last_seen bigint NOT NULL,
        calls_placed bigint NOT NULL DEFAULT 0,
        calls_answered bigint NOT NULL DEFAULT 0
    );
    CREATE INDEX numbers_letter ON numbers(letter, name_key, number) WHERE name <> '';
    CREATE INDEX numbers_key ON numbers(name_key, number) WHERE name <> '';
    CREATE INDEX numbers_digits ON numbers(digits) WHERE name <> '';
    CREATE TABLE trusted(
        number text COLLATE "C" NOT NULL,
        computer text COLLATE "C" NOT NULL,
        used bigint NOT NULL DEFAULT 0,
        PRIMARY KEY(number, computer)
    );
    CREATE TABLE computers(
        computer text COLLATE "C" PRIMARY KEY,
        number text NOT NULL
    );
    CREATE TABLE books(
        number text COLLATE "C" PRIMARY KEY,
        contacts text NOT NULL
    );
    CREATE TABLE throttles(
        key text COLLATE "C" PRIMARY KEY,
        failures integer NOT NULL,
        window_start bigint NOT NULL,
        locked_until bigint NOT NULL
    );
    )sql",
};

// Advisory lock classes (the two-integer form): the schema's migrations, and
// one lock per number (its text hashed by the server, so every node agrees).
constexpr const char* kMigrationLock = "SELECT pg_advisory_xact_lock(1298556462, 0)";
constexpr const char* kNumberLock = "SELECT pg_advisory_xact_lock(1298556463, hashtext($1))";

std::string firstLine(const char* message) {
    std::string text = message ? message : "";
    if (const auto end = text.find('\n'); end != std::string::npos) text.resize(end);
    return text.empty() ? "unknown error" : text;
}

std::int64_t toInt(const char* text) {
    std::int64_t value = 0;
    const char* end = text + std::char_traits<char>::length(text);
    if (std::from_chars(text, end, value).ec != std::errc{})
        throw std::runtime_error("postgresql: not an integer");
    return value;
}

int remainingMillis(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

// Waits for the socket; false when the deadline passed first.
bool ready(int socket, short events, Clock::time_point deadline) {
    for (;;) {
        const int wait = remainingMillis(deadline);
        if (wait == 0) return false;
        pollfd p{socket, events, 0};
        const int n = ::poll(&p, 1, wait);
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

}  // namespace

struct PostgresStore::Connection {
    PGconn* pg = nullptr;
    std::unordered_map<std::string, std::string> prepared;  // SQL text to statement name
    bool broken = false;

    ~Connection() { PQfinish(pg); }
};

class PostgresStore::Result {
public:
    explicit Result(PGresult* result) : result_(result) {}
    ~Result() { PQclear(result_); }
    Result(Result&& other) noexcept : result_(std::exchange(other.result_, nullptr)) {}
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;

    PGresult* get() const { return result_; }
    int rows() const { return PQntuples(result_); }
    std::string text(int row, int column) const {
        return {PQgetvalue(result_, row, column),
                static_cast<std::size_t>(PQgetlength(result_, row, column))};
    }
    std::int64_t integer(int row, int column) const {
        return toInt(PQgetvalue(result_, row, column));
    }

private:
    PGresult* result_;
};

// A connection for the calls of one public method: the one this thread
// already holds from this store, else one from the pool.
class PostgresStore::Lease {
public:
    explicit Lease(PostgresStore& store) : store_(store) {
        for (auto& [owner, connection] : held())
            if (owner == &store) {
                connection_ = connection;
                return;
            }
        owned_ = store.acquire();
        connection_ = owned_.get();
        held().emplace_back(&store, connection_);
    }
    ~Lease() {
        if (!owned_) return;
        held().pop_back();
        store_.release(std::move(owned_));
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Connection& operator*() { return *connection_; }

private:
    PostgresStore& store_;
    std::unique_ptr<Connection> owned_;
    Connection* connection_ = nullptr;
};

// Begins a transaction unless one is under way on the connection (a
// decision's), which then commits or rolls back everything together.
class PostgresStore::Transaction {
public:
    Transaction(PostgresStore& store, Connection& c)
        : store_(store), c_(c), own_(PQtransactionStatus(c.pg) == PQTRANS_IDLE) {
        if (own_) store_.command(c_, "BEGIN");
    }
    ~Transaction() {
        if (!own_) return;
        try {
            store_.command(c_, "ROLLBACK");
        } catch (const std::exception&) {
            c_.broken = true;
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        if (!own_) return;
        own_ = false;
        store_.command(c_, "COMMIT");
    }

private:
    PostgresStore& store_;
    Connection& c_;
    bool own_;
};

std::vector<std::pair<const PostgresStore*, PostgresStore::Connection*>>& PostgresStore::held() {
    thread_local std::vector<std::pair<const PostgresStore*, Connection*>> connections;
    return connections;
}

PostgresStore::PostgresStore(std::string conninfo, Options options)
    : conninfo_(std::move(conninfo)), options_(options) {
    migrate();
}

PostgresStore::~PostgresStore() = default;

int PostgresStore::schemaVersion() {
    return static_cast<int>(std::size(kMigrations));
}

std::unique_ptr<PostgresStore::Connection> PostgresStore::connect() {
    // Keywords before dbname are defaults the connection string may change;
    // the one after it is what the store needs.
    const char* const keys[] = {"application_name", "dbname", "client_encoding", nullptr};
    const char* const values[] = {"merrowfax-relay", conninfo_.c_str(), "UTF8", nullptr};
    auto c = std::make_unique<Connection>();
    c->pg = PQconnectStartParams(keys, values, 1);
    if (!c->pg) throw std::bad_alloc();
    const auto fail = [&](const std::string& why) {
        return std::runtime_error("cannot reach PostgreSQL: " + why);
    };
    const auto deadline = Clock::now() + options_.timeout;
    for (auto state = PGRES_POLLING_WRITING; state != PGRES_POLLING_OK;) {
        if (state == PGRES_POLLING_FAILED || PQstatus(c->pg) == CONNECTION_BAD)
            throw fail(firstLine(PQerrorMessage(c->pg)));
        if (!ready(PQsocket(c->pg), state == PGRES_POLLING_READING ? POLLIN : POLLOUT, deadline))
            throw fail("no answer in time");
        state = PQconnectPoll(c->pg);
    }
    // Notices ("already exists, skipping") are not ours to print. A server
    // shutting down says FATAL to its idle sessions, which libpq hands over
    // as a notice: such a connection is done.
    PQsetNoticeReceiver(
        c->pg,
        [](void* connection, const PGresult* notice) {
            const char* severity = PQresultErrorField(notice, PG_DIAG_SEVERITY_NONLOCALIZED);
            if (severity &&
                (std::strcmp(severity, "FATAL") == 0 || std::strcmp(severity, "PANIC") == 0))
                static_cast<Connection*>(connection)->broken = true;
        },
        c.get());
    const std::string encoding = PQparameterStatus(c->pg, "server_encoding")
                                     ? PQparameterStatus(c->pg, "server_encoding")
                                     : "";
    if (encoding != "UTF8" && encoding != "SQL_ASCII")
        throw std::runtime_error("the PostgreSQL database must be UTF8, not " + encoding);
    // The server ends a statement (a lock wait too) no later than we give up on it.
    command(*c, ("SET statement_timeout = " + std::to_string(options_.timeout.count())).c_str());
    return c;
}

std::unique_ptr<PostgresStore::Connection> PostgresStore::acquire() {
    std::unique_lock guard(lock_);
    const auto deadline = Clock::now() + options_.timeout;
    for (;;) {
        if (!idle_.empty()) {
            auto c = std::move(idle_.back());
            idle_.pop_back();
            guard.unlock();
            // A restarted server has ended the idle ones: their socket reads
            // its goodbye. Find out before a statement does (reading it in,
            // then letting libpq parse it, which reports a FATAL notice).
            pollfd p{PQsocket(c->pg), POLLIN, 0};
            if (::poll(&p, 1, 0) > 0 && (!PQconsumeInput(c->pg) || PQisBusy(c->pg)))
                c->broken = true;
            if (!c->broken && PQstatus(c->pg) == CONNECTION_OK) return c;
            c.reset();
            guard.lock();
            --open_;
            continue;
        }
        if (open_ < options_.connections) {
            if (Clock::now() < retryAt_) throw std::runtime_error(lastError_);
            ++open_;
            guard.unlock();
            try {
                auto c = connect();
                guard.lock();
                if (health_ == Health::down) logEvent(Level::info, "store_reconnected");
                health_ = Health::up;
                return c;
            } catch (const std::exception& e) {
                guard.lock();
                --open_;
                retryAt_ = Clock::now() + options_.reconnectPause;
                lastError_ = e.what();
                if (health_ == Health::up)
                    logEvent(Level::error, "store_unreachable", {{"error", lastError_}});
                if (health_ != Health::starting) health_ = Health::down;
                freed_.notify_one();
                throw;
            }
        }
        if (freed_.wait_until(guard, deadline) == std::cv_status::timeout && idle_.empty() &&
            open_ >= options_.connections)
            throw std::runtime_error("postgresql: no free connection in time");
    }
}

void PostgresStore::release(std::unique_ptr<Connection> c) {
    const bool keep = !c->broken && PQstatus(c->pg) == CONNECTION_OK &&
                      PQtransactionStatus(c->pg) == PQTRANS_IDLE;
    if (!keep) c.reset();  // outside the lock: closing talks to the server
    std::lock_guard guard(lock_);
    if (keep) {
        idle_.push_back(std::move(c));
    } else {
        --open_;
    }
    freed_.notify_one();
}

PostgresStore::Result PostgresStore::await(Connection& c) {
    const auto deadline = Clock::now() + options_.timeout;
    std::optional<Result> first;
    std::optional<Result> failed;
    for (;;) {
        while (PQisBusy(c.pg)) {
            if (!ready(PQsocket(c.pg), POLLIN, deadline)) {
                c.broken = true;  // the server is gone or stuck: never reuse this one
                throw std::runtime_error("postgresql: no answer in time");
            }
            if (!PQconsumeInput(c.pg)) {
                c.broken = true;
                throw std::runtime_error("postgresql: " + firstLine(PQerrorMessage(c.pg)));
            }
        }
        PGresult* r = PQgetResult(c.pg);
        if (!r) break;
        const auto status = PQresultStatus(r);
        auto& slot = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK ? first : failed;
        if (slot) {
            PQclear(r);
        } else {
            slot.emplace(r);
        }
    }
    if (PQstatus(c.pg) != CONNECTION_OK) c.broken = true;
    if (failed || !first) {
        c.broken = c.broken || !failed;
        const char* why = failed ? PQresultErrorMessage(failed->get()) : PQerrorMessage(c.pg);
        throw std::runtime_error("postgresql: " + firstLine(why));
    }
    return std::move(*first);
}

PostgresStore::Result PostgresStore::run(Connection& c, const std::string& sql,
                                         const Params& params, bool prepare) {
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const auto& p : params) values.push_back(p.c_str());
    const int count = static_cast<int>(values.size());
    int sent = 0;
    if (prepare) {
        auto [it, fresh] = c.prepared.try_emplace(sql, "s" + std::to_string(c.prepared.size()));
        if (fresh) {
            if (!PQsendPrepare(c.pg, it->second.c_str(), sql.c_str(), count, nullptr)) {
                c.prepared.erase(it);
                c.broken = true;
                throw std::runtime_error("postgresql: " + firstLine(PQerrorMessage(c.pg)));
            }
            try {
                await(c);
            } catch (...) {
                c.prepared.erase(it);
                throw;
            }
        }
        sent = PQsendQueryPrepared(c.pg, it->second.c_str(), count, values.data(), nullptr, nullptr,
                                   0);
    } else {
        sent = PQsendQueryParams(c.pg, sql.c_str(), count, nullptr, values.data(), nullptr, nullptr,
                                 0);
    }
    if (!sent) {
        c.broken = true;
        throw std::runtime_error("postgresql: " + firstLine(PQerrorMessage(c.pg)));
    }
    return await(c);
}

void PostgresStore::command(Connection& c, const char* sql) {
    if (!PQsendQuery(c.pg, sql)) {
        c.broken = true;
        throw std::runtime_error("postgresql: " + firstLine(PQerrorMessage(c.pg)));
    }
    await(c);
}

// Under a lock of its own and in one transaction (DDL is transactional), so
// nodes starting together wait for the first and then find nothing to do.
void PostgresStore::migrate() {
    Lease lease(*this);
    Connection& c = *lease;
    Transaction tx(*this, c);
    command(c, kMigrationLock);
    command(c,
            "CREATE TABLE IF NOT EXISTS schema_version(version integer PRIMARY KEY, "
            "applied timestamptz NOT NULL DEFAULT now())");
    const int version = static_cast<int>(
        run(c, "SELECT coalesce(max(version), 0) FROM schema_version").integer(0, 0));
    if (version > schemaVersion())
        throw std::runtime_error("the database has schema version " + std::to_string(version) +
                                 ", newer than this relay knows (" +
                                 std::to_string(schemaVersion()) + "): run a newer relay");
    for (int v = version; v < schemaVersion(); ++v) {
        command(c, kMigrations[v]);
        run(c, "INSERT INTO schema_version(version) VALUES($1)", {std::to_string(v + 1)});
    }
    tx.commit();
}

int PostgresStore::storedVersion() {
    Lease lease(*this);
    return static_cast<int>(
        run(*lease, "SELECT coalesce(max(version), 0) FROM schema_version").integer(0, 0));
}

template <class Body>
auto PostgresStore::lockedNumber(const std::string& number, Body body) {
    Lease lease(*this);
    Transaction tx(*this, *lease);
    run(*lease, kNumberLock, {number});
    auto out = body(*lease);
    tx.commit();
    return out;
}

void PostgresStore::underNumberLock(const std::string& number, bool,
                                    const std::function<void()>& decision) {
    lockedNumber(number, [&](Connection&) {
        decision();
        return true;
    });
}

std::optional<NumberRecord> PostgresStore::number(const std::string& number) {
    Lease lease(*this);
    const auto r = run(*lease,
                       "SELECT name, device, kind, pin_hash, first_seen, last_seen, "
                       "calls_placed, calls_answered FROM numbers WHERE number = $1",
                       {number});
    if (r.rows() == 0) return std::nullopt;
    return NumberRecord{number,          r.text(0, 0),    r.text(0, 1),
                        r.text(0, 2),    r.text(0, 3),    r.integer(0, 4),
                        r.integer(0, 5), r.integer(0, 6), r.integer(0, 7)};
}

namespace {

constexpr const char* kSaveProfile =
    "INSERT INTO numbers(number, name, name_key, letter, digits, device, kind, "
    "first_seen, last_seen) VALUES($1, $2, $3, $4, $5, $6, $7, $8, $8) "
    "ON CONFLICT(number) DO UPDATE SET name = excluded.name, "
    "name_key = excluded.name_key, letter = excluded.letter, "
    "device = excluded.device, last_seen = excluded.last_seen, "
    "kind = CASE WHEN excluded.kind = '' THEN numbers.kind ELSE excluded.kind END";

std::vector<std::string> profileParams(const Profile& p, Seconds now) {
    return {p.number,           p.name,   p.nameKey, p.letter,
            digitsOf(p.number), p.device, p.kind,    std::to_string(now)};
}

}  // namespace

void PostgresStore::saveProfile(const Profile& profile, Seconds now) {
    Lease lease(*this);
    run(*lease, kSaveProfile, profileParams(profile, now));
}

void PostgresStore::saveProfiles(const std::vector<Profile>& profiles, Seconds now) {
    Lease lease(*this);
    Transaction tx(*this, *lease);
    for (const auto& p : profiles) run(*lease, kSaveProfile, profileParams(p, now));
    tx.commit();
}

void PostgresStore::setPinHash(const std::string& number, const std::string& hash) {
    Lease lease(*this);
    run(*lease, "UPDATE numbers SET pin_hash = $1 WHERE number = $2", {hash, number});
}

void PostgresStore::touch(const std::string& number, Seconds now) {
    Lease lease(*this);
    run(*lease, "UPDATE numbers SET last_seen = $1 WHERE number = $2",
        {std::to_string(now), number});
}

void PostgresStore::countCall(const std::string& number, bool placed) {
    Lease lease(*this);
    run(*lease,
        placed ? "UPDATE numbers SET calls_placed = calls_placed + 1 WHERE number = $1"
               : "UPDATE numbers SET calls_answered = calls_answered + 1 WHERE number = $1",
        {number});
}

bool PostgresStore::isTrusted(const std::string& number, const std::string& computerTag) {
    Lease lease(*this);
    return run(*lease, "SELECT 1 FROM trusted WHERE number = $1 AND computer = $2",
               {number, computerTag})
               .rows() > 0;
}

void PostgresStore::trust(const std::string& number, const std::string& computerTag,
                          std::int64_t now) {
    Lease lease(*this);
    run(*lease,
        "INSERT INTO trusted(number, computer, used) VALUES($1, $2, $3) "
        "ON CONFLICT(number, computer) DO UPDATE SET used = excluded.used",
        {number, computerTag, std::to_string(now)});
}

void PostgresStore::untrust(const std::string& number, const std::string& computerTag) {
    Lease lease(*this);
    run(*lease, "DELETE FROM trusted WHERE number = $1 AND computer = $2", {number, computerTag});
}

// Under the number's lock: otherwise a PIN change on another node could
// revoke `by` between this statement's look and its insert, and the computer
// it vouched for would stay trusted.
bool PostgresStore::trustBy(const std::string& number, const std::string& by,
                            const std::string& computerTag, std::size_t limit, std::int64_t now) {
    return lockedNumber(number, [&](Connection& c) {
        return run(c,
                   "INSERT INTO trusted(number, computer, used) "
                   "SELECT $1::text, $3::text, $5::bigint WHERE EXISTS(SELECT 1 FROM trusted "
                   "WHERE number = $1 AND computer = $2) AND (EXISTS(SELECT 1 FROM trusted "
                   "WHERE number = $1 AND computer = $3) OR (SELECT count(*) FROM trusted "
                   "WHERE number = $1) < $4::bigint) "
                   "ON CONFLICT(number, computer) DO UPDATE SET used = excluded.used "
                   "RETURNING 1",
                   {number, by, computerTag, std::to_string(limit), std::to_string(now)})
                   .rows() > 0;
    });
}

bool PostgresStore::untrustBy(const std::string& number, const std::string& by,
                              const std::string& computerTag) {
    return lockedNumber(number, [&](Connection& c) {
        return run(c,
                   "DELETE FROM trusted WHERE number = $1 AND computer = $3 AND EXISTS("
                   "SELECT 1 FROM trusted WHERE number = $1 AND computer = $2) RETURNING 1",
                   {number, by, computerTag})
                   .rows() > 0;
    });
}

std::vector<std::string> PostgresStore::trustedComputers(const std::string& number) {
    Lease lease(*this);
    const auto r =
        run(*lease, "SELECT computer FROM trusted WHERE number = $1 ORDER BY used DESC, computer",
            {number});
    std::vector<std::string> out;
    for (int i = 0; i < r.rows(); ++i) out.push_back(r.text(i, 0));
    return out;
}

std::vector<std::string> PostgresStore::untrustAllBut(const std::string& number,
                                                      const std::string& keep) {
    return lockedNumber(number, [&](Connection& c) {
        const auto r = run(c,
                           "DELETE FROM trusted WHERE number = $1 AND computer <> $2 "
                           "RETURNING computer",
                           {number, keep});
        std::vector<std::string> out;
        for (int i = 0; i < r.rows(); ++i) out.push_back(r.text(i, 0));
        return out;
    });
}

void PostgresStore::rememberComputer(const std::string& computerTag, const std::string& number) {
    Lease lease(*this);
    run(*lease,
        "INSERT INTO computers(computer, number) VALUES($1, $2) "
        "ON CONFLICT(computer) DO UPDATE SET number = excluded.number",
        {computerTag, number});
}

std::optional<std::string> PostgresStore::computerNumber(const std::string& computerTag) {
    Lease lease(*this);
    const auto r = run(*lease, "SELECT number FROM computers WHERE computer = $1", {computerTag});
    if (r.rows() == 0) return std::nullopt;
    return r.text(0, 0);
}

void PostgresStore::forgetComputer(const std::string& computerTag) {
    Lease lease(*this);
    run(*lease, "DELETE FROM computers WHERE computer = $1", {computerTag});
}

std::optional<std::string> PostgresStore::book(const std::string& number) {
    Lease lease(*this);
    const auto r = run(*lease, "SELECT contacts FROM books WHERE number = $1", {number});
    if (r.rows() == 0) return std::nullopt;
    return r.text(0, 0);
}

void PostgresStore::storeBook(const std::string& number, const std::string& json) {
    Lease lease(*this);
    run(*lease,
        "INSERT INTO books(number, contacts) VALUES($1, $2) "
        "ON CONFLICT(number) DO UPDATE SET contacts = excluded.contacts",
        {number, json});
}

Throttle PostgresStore::throttle(const std::string& key) {
    Lease lease(*this);
    const auto r = run(
        *lease, "SELECT failures, window_start, locked_until FROM throttles WHERE key = $1", {key});
    if (r.rows() == 0) return {};
    return {static_cast<int>(r.integer(0, 0)), r.integer(0, 1), r.integer(0, 2)};
}

void PostgresStore::writeThrottle(Connection& c, const std::string& key, const Throttle& value) {
    if (value.failures == 0 && value.lockedUntil == 0) {
        run(c, "DELETE FROM throttles WHERE key = $1", {key});
        return;
    }
    run(c,
        "INSERT INTO throttles(key, failures, window_start, locked_until) "
        "VALUES($1, $2, $3, $4) ON CONFLICT(key) DO UPDATE SET failures = excluded.failures, "
        "window_start = excluded.window_start, locked_until = excluded.locked_until",
        {key, std::to_string(value.failures), std::to_string(value.windowStart),
         std::to_string(value.lockedUntil)});
}

void PostgresStore::setThrottle(const std::string& key, const Throttle& value) {
    Lease lease(*this);
    writeThrottle(*lease, key, value);
}

// The row is made first if missing, so that FOR UPDATE always has one to
// hold: a second node changing the key waits here until this one commits.
Throttle PostgresStore::updateThrottle(const std::string& key,
                                       const std::function<Throttle(Throttle)>& change) {
    Lease lease(*this);
    Connection& c = *lease;
    Transaction tx(*this, c);
    run(c,
        "INSERT INTO throttles(key, failures, window_start, locked_until) "
        "VALUES($1, 0, 0, 0) ON CONFLICT(key) DO NOTHING",
        {key});
    const auto r = run(c,
                       "SELECT failures, window_start, locked_until FROM throttles WHERE key = $1 "
                       "FOR UPDATE",
                       {key});
    const Throttle value =
        change({static_cast<int>(r.integer(0, 0)), r.integer(0, 1), r.integer(0, 2)});
    writeThrottle(c, key, value);
    tx.commit();
    return value;
}

void PostgresStore::pruneThrottles(std::int64_t before) {
    Lease lease(*this);
    run(*lease, "DELETE FROM throttles WHERE window_start < $1 AND locked_until < $1",
        {std::to_string(before)});
}

namespace {

// The statements of the SQLite store's pages, in PostgreSQL's words: the
// same conditions, order and limit, so the rows and cursors are the same.
struct Sql {
    std::string text;
    std::vector<std::string> values;

    std::string param(std::string value) {
        values.push_back(std::move(value));
        return "$" + std::to_string(values.size());
    }
};

constexpr const char* kRow = "SELECT number, name, name_key, kind FROM numbers WHERE name <> ''";

void pageEnd(Sql& sql, const DirectoryQuery& q, bool cursor) {
    if (cursor && q.after) {
        sql.text += " AND (name_key, number) > (" + sql.param(q.after->nameKey) + ", " +
                    sql.param(q.after->number) + ")";
    }
    sql.text += " ORDER BY name_key, number LIMIT " + sql.param(std::to_string(q.limit));
}

Sql letterPage(const DirectoryQuery& q) {
    Sql sql{kRow, {}};
    sql.text += " AND letter = " + sql.param(q.letter);
    pageEnd(sql, q, true);
    return sql;
}

Sql namePage(const DirectoryQuery& q) {
    Sql sql{kRow, {}};
    sql.text += " AND name_key < " + sql.param(prefixEnd(q.namePrefix));
    const bool fromCursor = q.after && q.after->nameKey >= q.namePrefix;
    if (!fromCursor) sql.text += " AND name_key >= " + sql.param(q.namePrefix);
    pageEnd(sql, q, fromCursor);
    return sql;
}

Sql numberPage(const DirectoryQuery& q) {
    Sql sql{kRow, {}};
    const std::string column = q.digitsOnly ? "digits" : "number";
    sql.text += " AND " + column + " >= " + sql.param(q.numberPrefix) + " AND " + column + " < " +
                sql.param(prefixEnd(q.numberPrefix));
    pageEnd(sql, q, true);
    return sql;
}

}  // namespace

std::vector<DirectoryRow> PostgresStore::directory(const DirectoryQuery& q) {
    Lease lease(*this);
    const auto rows = [&](const Sql& sql) {
        const auto r = run(*lease, sql.text, sql.values, false);
        std::vector<DirectoryRow> out;
        for (int i = 0; i < r.rows(); ++i)
            out.push_back({r.text(i, 0), r.text(i, 1), r.text(i, 2), r.text(i, 3) == "business"});
        return out;
    };
    if (!q.letter.empty()) return rows(letterPage(q));
    std::vector<DirectoryRow> names;
    std::vector<DirectoryRow> numbers;
    if (!q.namePrefix.empty()) names = rows(namePage(q));
    if (!q.numberPrefix.empty()) numbers = rows(numberPage(q));
    return paging::merged(std::move(names), std::move(numbers), q.limit);
}

}  // namespace merrowfax::relay
