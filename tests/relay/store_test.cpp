// The SQLite store on its own: schema versions, and the accounting the
// privacy text promises as the live endpoint records it.
#include <sqlite3.h>

#include <gtest/gtest.h>

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
