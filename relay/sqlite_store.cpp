#include "relay/sqlite_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace merrowfax::relay {
namespace {

using paging::digitsOf;
using paging::prefixEnd;

// Each entry moves the schema one version up; never edit a shipped entry.
const char* const kMigrations[] = {
    R"sql(
    CREATE TABLE numbers(
        number TEXT PRIMARY KEY,
        name TEXT NOT NULL DEFAULT '',
        name_key TEXT NOT NULL DEFAULT '',
        letter TEXT NOT NULL DEFAULT '#',
        digits TEXT NOT NULL DEFAULT '',
        device TEXT NOT NULL DEFAULT '',
        kind TEXT NOT NULL DEFAULT '',
        pin_hash TEXT NOT NULL DEFAULT '',
        first_seen INTEGER NOT NULL,
        last_seen INTEGER NOT NULL,
        calls_placed INTEGER NOT NULL DEFAULT 0,
        calls_answered INTEGER NOT NULL DEFAULT 0
    ) WITHOUT ROWID;
    CREATE INDEX numbers_letter ON numbers(letter, name_key, number) WHERE name <> '';
    CREATE INDEX numbers_key ON numbers(name_key, number) WHERE name <> '';
    CREATE INDEX numbers_digits ON numbers(digits) WHERE name <> '';
    CREATE TABLE trusted(
        number TEXT NOT NULL,
        computer TEXT NOT NULL,
        PRIMARY KEY(number, computer)
    ) WITHOUT ROWID;
    CREATE TABLE computers(
        computer TEXT PRIMARY KEY,
        number TEXT NOT NULL
    ) WITHOUT ROWID;
    CREATE TABLE books(
        number TEXT PRIMARY KEY,
        contacts TEXT NOT NULL
    ) WITHOUT ROWID;
    CREATE TABLE throttles(
        key TEXT PRIMARY KEY,
        failures INTEGER NOT NULL,
        window_start INTEGER NOT NULL,
        locked_until INTEGER NOT NULL
    ) WITHOUT ROWID;
    )sql",
    R"sql(
    ALTER TABLE trusted ADD COLUMN used INTEGER NOT NULL DEFAULT 0;
    )sql",
    // From here on each version applied is a row (PRAGMA user_version, which
    // said it before, still follows for tools that read it).
    R"sql(
    CREATE TABLE schema_version(
        version INTEGER PRIMARY KEY,
        applied INTEGER NOT NULL
    );
    )sql",
};
// The version whose step made schema_version: rows are kept from it on.
constexpr int kVersionRowsFrom = 3;

sqlite3_stmt* prepare(sqlite3* db, const char* sql, unsigned flags) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db, sql, -1, flags, &stmt, nullptr) != SQLITE_OK)
        throw std::runtime_error(std::string("sqlite prepare: ") + sqlite3_errmsg(db));
    return stmt;
}

// A prepared statement bound in order. One made for this use is finalised on
// scope exit; a kept one (SqliteStore::kept) is reset for its next use, which
// also ends the read it may hold open.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : stmt_(prepare(db, sql, 0)), owned_(true) {}
    explicit Statement(sqlite3_stmt* kept) : stmt_(kept), owned_(false) {}
    ~Statement() {
        if (owned_) {
            sqlite3_finalize(stmt_);
        } else if (stmt_) {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
        }
    }
    Statement(Statement&& other) noexcept
        : stmt_(std::exchange(other.stmt_, nullptr)), owned_(other.owned_), index_(other.index_) {}
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(const std::string& text) {
        sqlite3_bind_text(stmt_, ++index_, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(std::int64_t value) {
        sqlite3_bind_int64(stmt_, ++index_, value);
        return *this;
    }
    // True while rows come; throws on error.
    bool step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw std::runtime_error(std::string("sqlite step: ") +
                                 sqlite3_errmsg(sqlite3_db_handle(stmt_)));
    }
    void run() { step(); }
    // Runs to the end (a RETURNING statement changes nothing more after its
    // first row, but ends its transaction only here); true when a row came.
    bool finish() {
        bool any = false;
        while (step()) any = true;
        return any;
    }
    // Ready to bind and run again.
    void reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
        index_ = 0;
    }
    std::string text(int column) {
        const auto* p = sqlite3_column_text(stmt_, column);
        return p ? std::string(reinterpret_cast<const char*>(p),
                               static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                 : std::string();
    }
    std::int64_t integer(int column) { return sqlite3_column_int64(stmt_, column); }

private:
    sqlite3_stmt* stmt_ = nullptr;
    bool owned_ = true;
    int index_ = 0;
};

}  // namespace

namespace {

// Each connection is used behind a mutex of ours, so SQLite's own per-call
// mutex and its global allocation counter (a second lock per allocation)
// only cost time.
sqlite3* openConnection(const std::filesystem::path& file, int flags) {
    static const bool configured = [] {
        sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);  // refused once initialised: harmless
        return true;
    }();
    (void)configured;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const std::string message = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw std::runtime_error("cannot open " + file.string() + ": " + message);
    }
    sqlite3_busy_timeout(db, 5000);
    return db;
}

}  // namespace

SqliteStore::SqliteStore(const std::filesystem::path& file) {
    db_ = openConnection(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    try {
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA synchronous=NORMAL");
        exec("PRAGMA foreign_keys=ON");
        migrate();
        reader_ = openConnection(file, SQLITE_OPEN_READONLY);
    } catch (...) {
        sqlite3_close(db_);  // the destructor will not run
        throw;
    }
}

SqliteStore::~SqliteStore() {
    for (auto& [sql, stmt] : kept_) sqlite3_finalize(stmt);
    // Closing the last connection checkpoints the WAL into the main file.
    sqlite3_close(reader_);
    sqlite3_close(db_);
}

void SqliteStore::exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error("sqlite: " + message);
    }
}

int SqliteStore::schemaVersion() {
    return static_cast<int>(std::size(kMigrations));
}

namespace {

// The newer of the version rows and PRAGMA user_version: a file from before
// the rows has only the pragma.
int versionOf(sqlite3* db) {
    int version = 0;
    {
        Statement s(db, "PRAGMA user_version");
        s.step();
        version = static_cast<int>(s.integer(0));
    }
    Statement table(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
    if (!table.bind(std::string("schema_version")).step()) return version;
    Statement rows(db, "SELECT coalesce(max(version), 0) FROM schema_version");
    rows.step();
    return std::max(version, static_cast<int>(rows.integer(0)));
}

}  // namespace

int SqliteStore::storedVersion() {
    std::lock_guard guard(lock_);
    return versionOf(db_);
}

// One version a transaction, the version read inside it: two processes
// opening the file at once never apply a step twice.
void SqliteStore::migrate() {
    for (;;) {
        exec("BEGIN IMMEDIATE");
        try {
            const int version = versionOf(db_);
            if (version > schemaVersion())
                throw std::runtime_error("the database has schema version " +
                                         std::to_string(version) +
                                         ", newer than this relay knows (" +
                                         std::to_string(schemaVersion()) + "): run a newer relay");
            if (version == schemaVersion()) {
                exec("COMMIT");
                return;
            }
            exec(kMigrations[version]);
            if (version + 1 >= kVersionRowsFrom)
                Statement(db_,
                          "INSERT INTO schema_version(version, applied) "
                          "VALUES(?, CAST(strftime('%s', 'now') AS INTEGER))")
                    .bind(static_cast<std::int64_t>(version + 1))
                    .run();
            exec(("PRAGMA user_version=" + std::to_string(version + 1)).c_str());
            exec("COMMIT");
        } catch (...) {
            exec("ROLLBACK");
            throw;
        }
    }
}

// The writer's statements of fixed text are prepared once: preparing costs
// more than running most of them. Called under lock_.
sqlite3_stmt* SqliteStore::kept(const char* sql) {
    auto [it, fresh] = kept_.try_emplace(sql, nullptr);
    if (fresh) {
        try {
            it->second = prepare(db_, sql, SQLITE_PREPARE_PERSISTENT);
        } catch (...) {
            kept_.erase(it);
            throw;
        }
    }
    return it->second;
}

// A quick decision holds the writer and commits once, instead of once per
// statement; the registrar's queue per number already keeps decisions about
// one number apart. A slow one (hashing) runs statement by statement, so the
// writer is never held while a PIN hashes.
void SqliteStore::underNumberLock(const std::string&, bool quick,
                                  const std::function<void()>& decision) {
    if (!quick) return decision();
    std::lock_guard guard(lock_);
    oneStep(decision);
}

// One transaction, IMMEDIATE: the write lock is taken before the first read,
// so another process on the file cannot slip a change in between. Inside a
// quick decision it is part of the decision's transaction. Called under lock_.
void SqliteStore::oneStep(const std::function<void()>& body) {
    if (!sqlite3_get_autocommit(db_)) return body();
    exec("BEGIN IMMEDIATE");
    try {
        body();
        exec("COMMIT");
    } catch (...) {
        exec("ROLLBACK");
        throw;
    }
}

std::optional<NumberRecord> SqliteStore::number(const std::string& number) {
    std::lock_guard guard(lock_);
    Statement s(
        kept("SELECT name, device, kind, pin_hash, first_seen, last_seen, calls_placed, "
             "calls_answered FROM numbers WHERE number = ?"));
    s.bind(number);
    if (!s.step()) return std::nullopt;
    return NumberRecord{number,       s.text(0),    s.text(1),    s.text(2),   s.text(3),
                        s.integer(4), s.integer(5), s.integer(6), s.integer(7)};
}

namespace {

constexpr const char* kSaveProfile =
    "INSERT INTO numbers(number, name, name_key, letter, digits, device, kind, "
    "first_seen, last_seen) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?) "
    "ON CONFLICT(number) DO UPDATE SET name = excluded.name, "
    "name_key = excluded.name_key, letter = excluded.letter, "
    "device = excluded.device, last_seen = excluded.last_seen, "
    "kind = CASE WHEN excluded.kind = '' THEN kind ELSE excluded.kind END";

void bindProfile(Statement& s, const Profile& p, Seconds now) {
    s.bind(p.number).bind(p.name).bind(p.nameKey).bind(p.letter).bind(digitsOf(p.number));
    s.bind(p.device).bind(p.kind).bind(now).bind(now);
}

}  // namespace

void SqliteStore::saveProfile(const Profile& p, Seconds now) {
    std::lock_guard guard(lock_);
    Statement s(kept(kSaveProfile));
    bindProfile(s, p, now);
    s.run();
}

void SqliteStore::saveProfiles(const std::vector<Profile>& profiles, Seconds now) {
    std::lock_guard guard(lock_);
    oneStep([&] {
        Statement s(kept(kSaveProfile));
        for (const auto& p : profiles) {
            bindProfile(s, p, now);
            s.run();
            s.reset();
        }
    });
}

void SqliteStore::setPinHash(const std::string& number, const std::string& hash) {
    std::lock_guard guard(lock_);
    Statement(kept("UPDATE numbers SET pin_hash = ? WHERE number = ?"))
        .bind(hash)
        .bind(number)
        .run();
}

void SqliteStore::touch(const std::string& number, Seconds now) {
    std::lock_guard guard(lock_);
    Statement(kept("UPDATE numbers SET last_seen = ? WHERE number = ?"))
        .bind(now)
        .bind(number)
        .run();
}

void SqliteStore::countCall(const std::string& number, bool placed) {
    std::lock_guard guard(lock_);
    Statement(kept(placed ? "UPDATE numbers SET calls_placed = calls_placed + 1 WHERE number = ?"
                          : "UPDATE numbers SET calls_answered = calls_answered + 1 "
                            "WHERE number = ?"))
        .bind(number)
        .run();
}

bool SqliteStore::isTrusted(const std::string& number, const std::string& computerTag) {
    std::lock_guard guard(lock_);
    Statement s(kept("SELECT 1 FROM trusted WHERE number = ? AND computer = ?"));
    return s.bind(number).bind(computerTag).step();
}

void SqliteStore::trust(const std::string& number, const std::string& computerTag,
                        std::int64_t now) {
    std::lock_guard guard(lock_);
    Statement(kept("INSERT INTO trusted(number, computer, used) VALUES(?, ?, ?) "
                   "ON CONFLICT(number, computer) DO UPDATE SET used = excluded.used"))
        .bind(number)
        .bind(computerTag)
        .bind(now)
        .run();
}

void SqliteStore::untrust(const std::string& number, const std::string& computerTag) {
    std::lock_guard guard(lock_);
    Statement(kept("DELETE FROM trusted WHERE number = ? AND computer = ?"))
        .bind(number)
        .bind(computerTag)
        .run();
}

bool SqliteStore::trustBy(const std::string& number, const std::string& by,
                          const std::string& computerTag, std::size_t limit, std::int64_t now) {
    std::lock_guard guard(lock_);
    Statement s(
        kept("INSERT INTO trusted(number, computer, used) "
             "SELECT ?1, ?3, ?5 WHERE EXISTS(SELECT 1 FROM trusted WHERE number = ?1 "
             "AND computer = ?2) AND (EXISTS(SELECT 1 FROM trusted WHERE number = ?1 "
             "AND computer = ?3) OR (SELECT count(*) FROM trusted WHERE number = ?1) < ?4) "
             "ON CONFLICT(number, computer) DO UPDATE SET used = excluded.used "
             "RETURNING 1"));
    s.bind(number).bind(by).bind(computerTag).bind(static_cast<std::int64_t>(limit)).bind(now);
    return s.finish();
}

bool SqliteStore::untrustBy(const std::string& number, const std::string& by,
                            const std::string& computerTag) {
    std::lock_guard guard(lock_);
    Statement s(
        kept("DELETE FROM trusted WHERE number = ?1 AND computer = ?3 AND EXISTS("
             "SELECT 1 FROM trusted WHERE number = ?1 AND computer = ?2) RETURNING 1"));
    s.bind(number).bind(by).bind(computerTag);
    return s.finish();
}

std::vector<std::string> SqliteStore::trustedComputers(const std::string& number) {
    std::lock_guard guard(lock_);
    Statement s(kept("SELECT computer FROM trusted WHERE number = ? ORDER BY used DESC, computer"));
    s.bind(number);
    std::vector<std::string> out;
    while (s.step()) out.push_back(s.text(0));
    return out;
}

std::vector<std::string> SqliteStore::untrustAllBut(const std::string& number,
                                                    const std::string& keep) {
    std::lock_guard guard(lock_);
    Statement s(kept("DELETE FROM trusted WHERE number = ? AND computer <> ? RETURNING computer"));
    s.bind(number).bind(keep);
    std::vector<std::string> out;
    while (s.step()) out.push_back(s.text(0));
    return out;
}

void SqliteStore::rememberComputer(const std::string& computerTag, const std::string& number) {
    std::lock_guard guard(lock_);
    Statement(kept("INSERT OR REPLACE INTO computers(computer, number) VALUES(?, ?)"))
        .bind(computerTag)
        .bind(number)
        .run();
}

std::optional<std::string> SqliteStore::computerNumber(const std::string& computerTag) {
    std::lock_guard guard(lock_);
    Statement s(kept("SELECT number FROM computers WHERE computer = ?"));
    if (!s.bind(computerTag).step()) return std::nullopt;
    return s.text(0);
}

void SqliteStore::forgetComputer(const std::string& computerTag) {
    std::lock_guard guard(lock_);
    Statement(kept("DELETE FROM computers WHERE computer = ?")).bind(computerTag).run();
}

std::optional<std::string> SqliteStore::book(const std::string& number) {
    std::lock_guard guard(lock_);
    Statement s(kept("SELECT contacts FROM books WHERE number = ?"));
    if (!s.bind(number).step()) return std::nullopt;
    return s.text(0);
}

void SqliteStore::storeBook(const std::string& number, const std::string& json) {
    std::lock_guard guard(lock_);
    Statement(kept("INSERT OR REPLACE INTO books(number, contacts) VALUES(?, ?)"))
        .bind(number)
        .bind(json)
        .run();
}

Throttle SqliteStore::throttle(const std::string& key) {
    std::lock_guard guard(lock_);
    Statement s(kept("SELECT failures, window_start, locked_until FROM throttles WHERE key = ?"));
    if (!s.bind(key).step()) return {};
    return {static_cast<int>(s.integer(0)), s.integer(1), s.integer(2)};
}

void SqliteStore::setThrottle(const std::string& key, const Throttle& value) {
    std::lock_guard guard(lock_);
    writeThrottle(key, value);
}

void SqliteStore::writeThrottle(const std::string& key, const Throttle& value) {
    if (value.failures == 0 && value.lockedUntil == 0) {
        Statement(kept("DELETE FROM throttles WHERE key = ?")).bind(key).run();
        return;
    }
    Statement(kept("INSERT OR REPLACE INTO throttles(key, failures, window_start, locked_until) "
                   "VALUES(?, ?, ?, ?)"))
        .bind(key)
        .bind(static_cast<std::int64_t>(value.failures))
        .bind(value.windowStart)
        .bind(value.lockedUntil)
        .run();
}

Throttle SqliteStore::updateThrottle(const std::string& key,
                                     const std::function<Throttle(Throttle)>& change) {
    std::lock_guard guard(lock_);
    Throttle value;
    oneStep([&] {
        {
            Statement s(
                kept("SELECT failures, window_start, locked_until FROM throttles WHERE key = ?"));
            if (s.bind(key).step())
                value = {static_cast<int>(s.integer(0)), s.integer(1), s.integer(2)};
        }
        value = change(value);
        writeThrottle(key, value);
    });
    return value;
}

void SqliteStore::pruneThrottles(std::int64_t before) {
    std::lock_guard guard(lock_);
    Statement(kept("DELETE FROM throttles WHERE window_start < ?1 AND locked_until < ?1"))
        .bind(before)
        .run();
}

namespace {

// A number prefix matched by at least this many listings is dense: walking
// the name order and skipping non-matches finds a page sooner (about
// limit * rows / matches steps) than sorting every match.
constexpr std::int64_t kDenseMatches = 2048;

constexpr const char* kRow = "SELECT number, name, name_key, kind FROM numbers ";
constexpr const char* kPageOrder = " ORDER BY name_key, number LIMIT ?";

// One statement of a page and the texts it binds, in order; the page's
// limit is bound last where the text ends in kPageOrder.
struct Sql {
    std::string text;
    std::vector<std::string> values;
};

void afterCursor(Sql& sql, const DirectoryQuery& q, bool indexed) {
    if (!q.after) return;
    // "+name_key" keeps the planner on the prefix's own index; the cursor
    // then filters what that range yields.
    sql.text += indexed ? " AND (name_key, number) > (?, ?)" : " AND (+name_key, number) > (?, ?)";
    sql.values.push_back(q.after->nameKey);
    sql.values.push_back(q.after->number);
}

Sql letterPage(const DirectoryQuery& q) {
    Sql sql{std::string(kRow) + "WHERE name <> '' AND letter = ?", {q.letter}};
    afterCursor(sql, q, true);
    sql.text += kPageOrder;
    return sql;
}

// Name matches come in page order from numbers_key; the walk starts at the
// tighter of the prefix and the cursor.
Sql namePage(const DirectoryQuery& q) {
    Sql sql{std::string(kRow) + "WHERE name <> '' AND name_key < ?", {prefixEnd(q.namePrefix)}};
    if (q.after && q.after->nameKey >= q.namePrefix) {
        afterCursor(sql, q, true);
    } else {
        sql.text += " AND name_key >= ?";
        sql.values.push_back(q.namePrefix);
    }
    sql.text += kPageOrder;
    return sql;
}

const char* numberColumn(const DirectoryQuery& q) {
    return q.digitsOnly ? "digits" : "number";
}

Sql numberRange(const DirectoryQuery& q) {
    return {std::string(" WHERE name <> '' AND ") + numberColumn(q) + " >= ? AND " +
                numberColumn(q) + " < ?",
            {q.numberPrefix, prefixEnd(q.numberPrefix)}};
}

// How many listings the number prefix matches, counted up to kDenseMatches.
Sql numberCount(const DirectoryQuery& q) {
    const Sql range = numberRange(q);
    return {"SELECT count(*) FROM (SELECT 1 FROM numbers" + range.text + " LIMIT " +
                std::to_string(kDenseMatches) + ")",
            range.values};
}

// Few matches: the prefix's range (numbers_digits or the primary key), sorted.
Sql sparseNumberPage(const DirectoryQuery& q) {
    Sql sql = numberRange(q);
    sql.text = std::string(kRow).append(sql.text.substr(1));
    afterCursor(sql, q, false);
    sql.text += kPageOrder;
    return sql;
}

// Many matches: numbers_key in page order from the cursor, skipping the rest.
Sql denseNumberPage(const DirectoryQuery& q) {
    Sql sql = numberRange(q);
    sql.text = std::string(kRow) + "INDEXED BY numbers_key" + sql.text;
    afterCursor(sql, q, true);
    sql.text += kPageOrder;
    return sql;
}

// A prepared page statement with its texts (and the limit) bound.
Statement prepared(sqlite3* db, const Sql& sql, const DirectoryQuery& q) {
    Statement s(db, sql.text.c_str());
    for (const auto& value : sql.values) s.bind(value);
    if (sql.text.ends_with(kPageOrder)) s.bind(static_cast<std::int64_t>(q.limit));
    return s;
}

std::vector<DirectoryRow> pageRows(sqlite3* db, const Sql& sql, const DirectoryQuery& q) {
    Statement s = prepared(db, sql, q);
    std::vector<DirectoryRow> rows;
    while (s.step()) rows.push_back({s.text(0), s.text(1), s.text(2), s.text(3) == "business"});
    return rows;
}

}  // namespace

// Every page is one or two index walks that stop at the page's limit: a
// letter, a name prefix, a number prefix (sparse: its range sorted; dense:
// the name order filtered), merged in page order. They run on their own
// read connection, so a page never waits for a write nor holds one up.
std::vector<DirectoryRow> SqliteStore::directory(const DirectoryQuery& q) {
    std::lock_guard guard(readLock_);
    if (!q.letter.empty()) return pageRows(reader_, letterPage(q), q);
    std::vector<DirectoryRow> names;
    std::vector<DirectoryRow> numbers;
    if (!q.namePrefix.empty()) names = pageRows(reader_, namePage(q), q);
    if (!q.numberPrefix.empty()) {
        Statement count = prepared(reader_, numberCount(q), q);
        count.step();
        numbers = pageRows(
            reader_, count.integer(0) >= kDenseMatches ? denseNumberPage(q) : sparseNumberPage(q),
            q);
    }
    return paging::merged(std::move(names), std::move(numbers), q.limit);
}

std::vector<std::string> SqliteStore::directoryPlan(const DirectoryQuery& q) {
    std::vector<Sql> statements;
    if (!q.letter.empty()) {
        statements.push_back(letterPage(q));
    } else {
        if (!q.namePrefix.empty()) statements.push_back(namePage(q));
        if (!q.numberPrefix.empty()) {
            statements.push_back(numberCount(q));
            statements.push_back(sparseNumberPage(q));
            statements.push_back(denseNumberPage(q));
        }
    }
    std::lock_guard guard(readLock_);
    std::vector<std::string> lines;
    for (auto& sql : statements) {
        sql.text = "EXPLAIN QUERY PLAN " + sql.text;
        Statement s = prepared(reader_, sql, q);
        while (s.step()) lines.push_back(s.text(3));
    }
    return lines;
}

}  // namespace merrowfax::relay
