// The SQLite store on its own: schema versions, directory pages against a
// plain filter-and-sort, and the accounting the privacy text promises as the
// live endpoint records it.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "listings.h"
#include "relay/sqlite_store.h"
#include "relay_fixture.h"

namespace merrowfax::testing {
namespace {

using relay::SqliteStore;

class StoreTest : public ::testing::Test {
protected:
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("relay-store-" + std::to_string(::getpid()) + "-" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    void SetUp() override { std::filesystem::create_directories(dir); }
    void TearDown() override { std::filesystem::remove_all(dir); }
};

TEST_F(StoreTest, MigratesOnceAndRefusesANewerSchema) {
    const auto file = dir / "relay.sqlite";
    {
        SqliteStore store(file);
        EXPECT_EQ(store.storedVersion(), SqliteStore::schemaVersion());
        store.saveProfile({"0-1-234-5678", "Ann", "ann", "A", "Mac", "personal"}, 100);
        store.setThrottle("n:0-1-234-5678", {3, 0, 5000});
    }
    {
        SqliteStore again(file);  // reopening migrates nothing and keeps the rows
        ASSERT_TRUE(again.number("0-1-234-5678"));
        EXPECT_EQ(again.throttle("n:0-1-234-5678").failures, 3);
        again.setThrottle("n:0-1-234-5678", {});
        EXPECT_EQ(again.throttle("n:0-1-234-5678").lockedUntil, 0);
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    EXPECT_THROW(SqliteStore{file}, std::runtime_error);
}

relay::DirectoryQuery search(const std::string& name, const std::string& number, bool digits) {
    relay::DirectoryQuery q;
    q.namePrefix = name;
    q.numberPrefix = number;
    q.digitsOnly = digits;
    q.limit = 7;
    return q;
}

// Every page of a query, walked with cursors as the directory does.
std::vector<std::string> walk(SqliteStore& store, relay::DirectoryQuery q) {
    std::vector<std::string> out;
    for (;;) {
        const auto rows = store.directory(q);
        for (const auto& r : rows) out.push_back(r.number);
        if (rows.size() < q.limit) return out;
        q.after = relay::DirectoryCursor{rows.back().nameKey, rows.back().number};
    }
}

TEST_F(StoreTest, DirectoryPagesMatchAPlainFilterInNameOrder) {
    auto listings = fakeListings(5000);
    // Names that start like numbers: matched by both halves of a search, shown once.
    // 4, 8 and 12 are in 0-1, whose digits do not start with 1; 6 is in 1-66.
    for (std::size_t i : {4, 6, 8, 12}) {
        listings[i].name = "1" + std::to_string(i) + " Pizza";
        listings[i].nameKey = "1" + std::to_string(i) + " pizza";
    }
    listings[20].name = listings[21].name;  // equal keys: the number decides
    listings[20].nameKey = listings[21].nameKey;
    SqliteStore store(dir / "relay.sqlite");
    store.saveProfiles(listings, 100);

    auto expected = [&](const relay::DirectoryQuery& q) {
        std::vector<const relay::Profile*> hits;
        for (const auto& p : listings) {
            std::string digits;
            for (char c : p.number)
                if (c != '-') digits.push_back(c);
            const std::string& text = q.digitsOnly ? digits : p.number;
            if ((!q.namePrefix.empty() && p.nameKey.starts_with(q.namePrefix)) ||
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
    const std::vector<relay::DirectoryQuery> queries = {
        search("ma", "", false),     // a name prefix
        search("1", "1", true),      // dense digits (3 750 of 5 000), names too
        search("1", "1-66", false),  // a sparse dashed prefix, names too
        search("01", "01", true),    // sparse digits
        search("zzz", "9", true),    // nothing
    };
    for (const auto& q : queries) {
        const auto want = expected(q);
        EXPECT_EQ(walk(store, q), want) << q.namePrefix << " / " << q.numberPrefix;
    }
    EXPECT_EQ(expected(queries[1]).size(), 3750u + 3);
}

TEST_F(StoreTest, EveryDirectoryStatementSearchesAnIndex) {
    SqliteStore store(dir / "relay.sqlite");
    std::vector<relay::DirectoryQuery> queries;
    for (bool cursor : {false, true}) {
        relay::DirectoryQuery letter;
        letter.letter = "M";
        for (auto q : {letter, search("ann", "", false), search("1", "1", true),
                       search("0-1", "0-1", false), search("zz", "", false)}) {
            if (cursor) q.after = relay::DirectoryCursor{"ann", "0-1-555-1001"};
            queries.push_back(q);
        }
    }
    for (const auto& q : queries) {
        const auto plan = store.directoryPlan(q);
        ASSERT_FALSE(plan.empty());
        for (const auto& line : plan) {
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

TEST_F(StoreTest, RegistrationsAndCallsAreAccounted) {
    RelayProcess relay;
    {
        Device caller = makeDevice(number(1), "Ann", "mac-1");
        caller.device = "iPhone";
        auto a = join(relay, caller);
        auto b = join(relay, makeDevice(number(2), "Bo", "mac-2"));
        a.client->sendText(R"({"op":"call","id":"6F9619FF-8B86-D011-B42D-00CF4FC964FF",)"
                           R"("call":"invite","to":"0-1-555-1002"})");
        ASSERT_TRUE(b.client->waitFor("call"));
        b.client->sendText(R"({"op":"call","id":"6F9619FF-8B86-D011-B42D-00CF4FC964FF",)"
                           R"("call":"accept","to":"0-1-555-1001"})");
        ASSERT_TRUE(a.client->waitFor("call"));
        a.client->sendText(R"({"op":"call","id":"6F9619FF-8B86-D011-B42D-00CF4FC964FF",)"
                           R"("call":"end","to":"0-1-555-1002"})");
        drain(*a.client);
    }
    ASSERT_TRUE(relay.stop());
    SqliteStore store(relay.dataDir() / "relay.sqlite");
    const auto a = store.number(number(1));
    const auto b = store.number(number(2));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->name, "Ann");
    EXPECT_EQ(a->device, "iPhone");
    EXPECT_EQ(a->callsPlaced, 1);
    EXPECT_EQ(a->callsAnswered, 0);
    EXPECT_EQ(b->callsPlaced, 0);
    EXPECT_EQ(b->callsAnswered, 1);
    EXPECT_GT(a->firstSeen, 0);
    EXPECT_GE(a->lastSeen, a->firstSeen);
}

}  // namespace
}  // namespace merrowfax::testing
