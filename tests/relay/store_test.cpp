// The stores on their own, SQLite and PostgreSQL through one suite: schema
// versions, what each call keeps, two handles on one database as two nodes,
// directory pages against a plain filter-and-sort; then the SQLite file's
// own history and the accounting the privacy text promises.
#include <sqlite3.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "listings.h"
#include "relay/postgres_store.h"
#include "relay/sqlite_store.h"
#include "relay_fixture.h"
#include "support/child_process.h"
#include "support/postgres_server.h"

namespace merrowfax::testing {
namespace {

using relay::DirectoryQuery;
using relay::SqliteStore;
using relay::Store;
using relay::Throttle;

void sqliteExec(const std::filesystem::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << error;
    sqlite3_free(error);
    sqlite3_close(db);
}

// One database; every store opened on it is a node sharing it (or the same
// node after a restart).
struct Backend {
    virtual ~Backend() = default;
    virtual std::unique_ptr<Store> open() = 0;
    virtual int storedVersion() = 0;
    virtual int knownVersion() = 0;
    virtual void claimVersion(int version) = 0;  // as a newer relay would have left it
};

struct SqliteBackend final : Backend {
    std::filesystem::path dir = makeTempFolder("relay-store-");
    std::filesystem::path file = dir / "relay.sqlite";
    ~SqliteBackend() override { std::filesystem::remove_all(dir); }
    std::unique_ptr<Store> open() override { return std::make_unique<SqliteStore>(file); }
    int storedVersion() override { return SqliteStore(file).storedVersion(); }
    int knownVersion() override { return SqliteStore::schemaVersion(); }
    void claimVersion(int v) override {
        sqliteExec(file, "INSERT INTO schema_version VALUES(" + std::to_string(v) + ", 0)");
    }
};

struct PostgresBackend final : Backend {
    std::string conninfo = PostgresServer::shared().createDatabase();
    std::unique_ptr<Store> open() override {
        return std::make_unique<relay::PostgresStore>(conninfo, relay::PostgresStore::Options{});
    }
    int storedVersion() override {
        return std::stoi(
            PostgresServer::query(conninfo, "SELECT max(version) FROM schema_version"));
    }
    int knownVersion() override { return relay::PostgresStore::schemaVersion(); }
    void claimVersion(int v) override {
        PostgresServer::query(
            conninfo, "INSERT INTO schema_version(version) VALUES(" + std::to_string(v) + ")");
    }
};

class StoreTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (GetParam() == "sqlite") backend = std::make_unique<SqliteBackend>();
        if (GetParam() == "postgres") backend = std::make_unique<PostgresBackend>();
    }
    std::unique_ptr<Backend> backend;
    const std::string n = number(1);
};

Throttle oneMore(Throttle t) {
    ++t.failures;
    return t;
}

TEST_P(StoreTest, MigratesOnceAndRefusesANewerSchema) {
    {
        auto store = backend->open();
        EXPECT_EQ(backend->storedVersion(), backend->knownVersion());
        store->saveProfile({n, "Ann", "ann", "A", "Mac", "personal"}, 100);
        store->setThrottle("n:" + n, {3, 0, 5000});
    }
    {
        auto again = backend->open();  // reopening migrates nothing and keeps the rows
        ASSERT_TRUE(again->number(n));
        EXPECT_EQ(again->throttle("n:" + n).failures, 3);
    }
    backend->claimVersion(backend->knownVersion() + 1);
    try {
        backend->open();
        ADD_FAILURE() << "a newer schema was opened";
    } catch (const std::runtime_error& e) {
        EXPECT_THAT(e.what(), ::testing::HasSubstr("newer than this relay"));
    }
}

TEST_P(StoreTest, ANumberKeepsItsPinCallsAndFirstSeenWhenItsProfileChanges) {
    auto store = backend->open();
    EXPECT_FALSE(store->number(n));
    store->saveProfile({n, "Ann", "ann", "A", "Mac", "business"}, 100);
    store->setPinHash(n, "hash");
    store->countCall(n, true);
    store->countCall(n, true);
    store->countCall(n, false);
    store->saveProfile({n, "Bo", "bo", "B", "iPhone", ""}, 200);  // no kind: the stored one stays
    store->touch(n, 250);
    const auto r = store->number(n);
    ASSERT_TRUE(r);
    EXPECT_EQ(std::tie(r->name, r->device, r->kind, r->pinHash),
              std::make_tuple("Bo", "iPhone", "business", "hash"));
    EXPECT_EQ(std::tie(r->firstSeen, r->lastSeen, r->callsPlaced, r->callsAnswered),
              std::make_tuple(100, 250, 2, 1));
    store->setPinHash(number(2), "hash");  // of no number: makes none
    EXPECT_FALSE(store->number(number(2)));
}

TEST_P(StoreTest, OnlyATrustedComputerVouchesAndOnlyWithinTheLimit) {
    auto store = backend->open();
    store->trust(n, "a", 1);
    store->trust(n, "b", 3);
    store->trust(n, "c", 2);
    EXPECT_THAT(store->trustedComputers(n), ::testing::ElementsAre("b", "c", "a"));
    store->trust(n, "a", 4);  // used again: most recent
    EXPECT_EQ(store->trustedComputers(n).front(), "a");
    EXPECT_FALSE(store->trustBy(n, "x", "d", 16, 5));  // x is not trusted
    EXPECT_FALSE(store->trustBy(n, "a", "d", 3, 5));   // no room
    EXPECT_TRUE(store->trustBy(n, "a", "c", 3, 6));    // c is in already
    EXPECT_TRUE(store->trustBy(n, "a", "d", 4, 7));
    EXPECT_FALSE(store->untrustBy(n, "x", "d"));
    EXPECT_TRUE(store->isTrusted(n, "d"));
    EXPECT_TRUE(store->untrustBy(n, "a", "d"));
    EXPECT_FALSE(store->isTrusted(n, "d"));
    auto gone = store->untrustAllBut(n, "b");
    std::sort(gone.begin(), gone.end());
    EXPECT_THAT(gone, ::testing::ElementsAre("a", "c"));
    EXPECT_THAT(store->trustedComputers(n), ::testing::ElementsAre("b"));
}

TEST_P(StoreTest, ComputersBooksAndThrottlesStayUntilForgottenOrPruned) {
    auto store = backend->open();
    store->rememberComputer("tag", n);
    store->rememberComputer("tag", number(2));  // the computer moved on
    EXPECT_EQ(store->computerNumber("tag"), number(2));
    store->forgetComputer("tag");
    EXPECT_FALSE(store->computerNumber("tag"));

    store->storeBook(n, R"(["0-1-555-1002"])");
    store->storeBook(n, "[]");
    EXPECT_EQ(store->book(n), "[]");
    EXPECT_FALSE(store->book(number(2)));

    store->setThrottle("stale", {2, 10, 20});
    store->setThrottle("locked", {5, 10, 1000});
    store->setThrottle("cleared", {1, 600, 0});
    store->setThrottle("cleared", {});
    store->pruneThrottles(500);
    EXPECT_EQ(store->throttle("locked").lockedUntil, 1000);
    EXPECT_EQ(store->throttle("stale").failures, 0);
    // From nothing, not from the cleared count.
    EXPECT_EQ(store->updateThrottle("cleared", oneMore).failures, 1);
}

// Two handles on one database: what one writes the other reads, and wrong
// PINs counted through both at once all count.
TEST_P(StoreTest, TwoNodesSeeEachOthersPinsAndLoseNoThrottleCount) {
    auto a = backend->open();
    auto b = backend->open();
    a->saveProfile({n, "Ann", "ann", "A", "Mac", "personal"}, 100);
    a->setPinHash(n, "hash");
    a->trust(n, "tag", 1);
    EXPECT_EQ(b->number(n)->pinHash, "hash");
    EXPECT_TRUE(b->isTrusted(n, "tag"));

    std::atomic<int> errors{0};
    std::vector<std::thread> threads;
    for (Store* node : {a.get(), b.get(), a.get(), b.get()})
        threads.emplace_back([&, node] {
            try {
                for (int i = 0; i < 25; ++i) node->updateThrottle("n:" + n, oneMore);
            } catch (const std::exception&) {
                ++errors;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(b->throttle("n:" + n).failures, 100);
}

// Every page of a query, walked with cursors as the directory does.
std::vector<std::string> walk(Store& store, DirectoryQuery q) {
    std::vector<std::string> out;
    for (;;) {
        const auto rows = store.directory(q);
        for (const auto& r : rows) out.push_back(r.number);
        if (rows.size() < q.limit) return out;
        q.after = relay::DirectoryCursor{rows.back().nameKey, rows.back().number};
    }
}

// Letter pages, name and number searches in pages of 7: the same rows as a
// plain filter-and-sort of the listings; SQLite's statements each walk an index.
TEST_P(StoreTest, DirectoryPagesMatchAPlainFilterInNameOrder) {
    auto listings = fakeListings(5000);
    // Names that start like numbers: matched by both halves of a search, shown once.
    // 4, 8 and 12 are in 0-1, whose digits do not start with 1; 6 is in 1-66.
    for (std::size_t i : {4, 6, 8, 12}) {
        listings[i].name = "1" + std::to_string(i) + " Pizza";
        listings[i].nameKey = "1" + std::to_string(i) + " pizza";
    }
    listings[20].name = listings[21].name;  // equal keys: the number decides
    listings[20].nameKey = listings[21].nameKey;
    auto store = backend->open();
    store->saveProfiles(listings, 100);

    auto expected = [&](const DirectoryQuery& q) {
        std::vector<const relay::Profile*> hits;
        for (const auto& p : listings) {
            std::string digits;
            std::copy_if(p.number.begin(), p.number.end(), std::back_inserter(digits),
                         [](char c) { return c != '-'; });
            const std::string& text = q.digitsOnly ? digits : p.number;
            if ((!q.letter.empty() && p.letter == q.letter) ||
                (!q.namePrefix.empty() && p.nameKey.starts_with(q.namePrefix)) ||
                (!q.numberPrefix.empty() && text.starts_with(q.numberPrefix)))
                hits.push_back(&p);
        }
        std::sort(hits.begin(), hits.end(), [](auto* a, auto* b) {
            return std::tie(a->nameKey, a->number) < std::tie(b->nameKey, b->number);
        });
        std::vector<std::string> out;
        for (auto* p : hits) out.push_back(p->number);
        return out;
    };
    const std::vector<DirectoryQuery> queries = {
        {"M", "", "", false, {}, 7},      // a letter
        {"", "ma", "", false, {}, 7},     // a name prefix
        {"", "1", "1", true, {}, 7},      // dense digits (3 750 of 5 000), names too
        {"", "1", "1-66", false, {}, 7},  // a sparse dashed prefix, names too
        {"", "01", "01", true, {}, 7},    // sparse digits
        {"", "zzz", "9", true, {}, 7},    // nothing
        {"", "0-1", "0-1", false, {}, 7},
    };
    auto* sqlite = dynamic_cast<SqliteStore*>(store.get());
    for (auto q : queries) {
        EXPECT_EQ(walk(*store, q), expected(q))
            << q.letter << q.namePrefix << " / " << q.numberPrefix;
        for (const bool cursor : {false, true}) {
            if (cursor) q.after = relay::DirectoryCursor{"ann", "0-1-555-1001"};
            for (const auto& line :
                 sqlite ? sqlite->directoryPlan(q) : std::vector<std::string>{}) {
                // "SCAN numbers" alone reads the whole table; a walk of an index in
                // page order stops at the page's limit.
                if (line.find("numbers") == std::string::npos) continue;
                EXPECT_NE(line.find(" USING "), std::string::npos) << line;
                if (line.starts_with("SCAN")) {
                    EXPECT_NE(line.find("numbers_key"), std::string::npos) << line;
                }
            }
        }
    }
    EXPECT_EQ(expected(queries[2]).size(), 3750u + 3);
}

INSTANTIATE_TEST_SUITE_P(Backends, StoreTest, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return info.param; });

// A file written before schema_version existed (PRAGMA user_version alone),
// at its first version: upgraded in place, every row kept and usable.
TEST(SqliteStoreTest, AFileFromBeforeTheVersionTableIsUpgradedInPlace) {
    const auto dir = makeTempFolder("relay-store-");
    const auto file = dir / "relay.sqlite";
    {
        SqliteStore current(file);
        current.saveProfile({number(1), "Ann", "ann", "A", "Mac", ""}, 100);
        current.setPinHash(number(1), "hash");
        current.countCall(number(1), false);
        current.setThrottle("n:" + number(1), {2, 150, 0});
    }
    // Back to a file of the first version: the later steps undone.
    sqliteExec(file,
               "DROP TABLE schema_version; ALTER TABLE trusted DROP COLUMN used; "
               "INSERT INTO trusted VALUES('0-1-555-1001', 'old'); PRAGMA user_version = 1");
    {
        SqliteStore store(file);
        EXPECT_EQ(store.storedVersion(), SqliteStore::schemaVersion());
        const auto ann = store.number(number(1));
        ASSERT_TRUE(ann);
        EXPECT_EQ(std::tie(ann->pinHash, ann->callsAnswered), std::make_tuple("hash", 1));
        EXPECT_EQ(store.throttle("n:" + number(1)).failures, 2);
        store.trust(number(1), "new", 5);  // the column the upgrade added
        EXPECT_THAT(store.trustedComputers(number(1)), ::testing::ElementsAre("new", "old"));
        EXPECT_EQ(store.directory({"A", "", "", false, {}, 5}).size(), 1u);
    }
    sqliteExec(file, "SELECT 1 FROM schema_version");  // the table is there now
    std::filesystem::remove_all(dir);
}

TEST(SqliteStoreTest, RegistrationsAndCallsAreAccounted) {
    RelayProcess relay;
    {
        Device caller = makeDevice(number(1), "Ann", "mac-1");
        caller.device = "iPhone";
        auto a = join(relay, caller);
        auto b = join(relay, makeDevice(number(2), "Bo", "mac-2"));
        const auto call = [](Joined& from, const char* signal, const std::string& to) {
            from.client->sendText(R"({"op":"call","id":"6F9619FF-8B86-D011-B42D-00CF4FC964FF",)"
                                  R"("call":")" +
                                  std::string(signal) + R"(","to":")" + to + "\"}");
        };
        call(a, "invite", number(2));
        ASSERT_TRUE(b.client->waitFor("call"));
        call(b, "accept", number(1));
        ASSERT_TRUE(a.client->waitFor("call"));
        call(a, "end", number(2));
        drain(*a.client);
    }
    ASSERT_TRUE(relay.stop());
    SqliteStore store(relay.dataDir() / "relay.sqlite");
    const auto a = store.number(number(1));
    const auto b = store.number(number(2));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->name, "Ann");
    EXPECT_EQ(a->device, "iPhone");
    EXPECT_EQ(std::make_tuple(a->callsPlaced, a->callsAnswered, b->callsPlaced, b->callsAnswered),
              std::make_tuple(1, 0, 0, 1));
    EXPECT_GT(a->firstSeen, 0);
    EXPECT_GE(a->lastSeen, a->firstSeen);
}

}  // namespace
}  // namespace merrowfax::testing
