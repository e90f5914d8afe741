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

using relay::DirectoryQuery;
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
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    EXPECT_THROW(SqliteStore{file}, std::runtime_error);
}

// Every page of a query, walked with cursors as the directory does.
std::vector<std::string> walk(SqliteStore& store, DirectoryQuery q) {
    std::vector<std::string> out;
    for (;;) {
        const auto rows = store.directory(q);
        for (const auto& r : rows) out.push_back(r.number);
        if (rows.size() < q.limit) return out;
        q.after = relay::DirectoryCursor{rows.back().nameKey, rows.back().number};
    }
}

// Letter pages, name and number searches in pages of 7: the same rows as a
// plain filter-and-sort of the listings, and every statement walks an index.
TEST_F(StoreTest, DirectoryPagesMatchAPlainFilterInNameOrderThroughAnIndex) {
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
    for (auto q : queries) {
        const auto want = expected(q);
        EXPECT_EQ(walk(store, q), want) << q.letter << q.namePrefix << " / " << q.numberPrefix;
        for (const bool cursor : {false, true}) {
            if (cursor) q.after = relay::DirectoryCursor{"ann", "0-1-555-1001"};
            for (const auto& line : store.directoryPlan(q)) {
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

TEST_F(StoreTest, RegistrationsAndCallsAreAccounted) {
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
