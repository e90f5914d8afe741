// PostgreSQL shared by nodes: SQLite's pages, one decision per number, one
// schema upgrade, an outage survived, two relay processes on one database.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "listings.h"
#include "relay/postgres_store.h"
#include "relay/sqlite_store.h"
#include "relay_fixture.h"
#include "relays.h"
#include "support/child_process.h"
#include "support/postgres_server.h"

namespace merrowfax::testing {
namespace {

using namespace std::chrono_literals;
using relay::PostgresStore;

const PostgresStore::Options kOptions{4, std::chrono::seconds(5), std::chrono::milliseconds(0)};

// Names whose bytewise order differs from a language's: blanks and dashes
// that a locale would skip, Greek, CJK, an emoji, digits, equal keys.
std::vector<relay::Profile> awkwardListings() {
    auto out = fakeListings(300);
    const char* const names[] = {"a b",   "ab",     "a-b",  "A_b",     "Åsa",      "Ωmega",
                                 "ωmega", "李小龍", "Zoë",  "😀 Smile", "#1 Pizza", "(Bob)",
                                 "ß",     "Ss",     "1234", "é",       "E",        "ab"};
    int i = 0;
    for (const char* name : names) {
        const std::string key = relay::foldName(name);
        out.push_back({number(100 + i++), name, key, relay::indexLetter(key), "Mac", ""});
    }
    return out;
}

TEST(PostgresStoreTest, PagesAndCursorsAreTheSameAsSqlites) {
    const auto dir = makeTempFolder("relay-store-");
    relay::SqliteStore sqlite(dir / "relay.sqlite");
    PostgresStore postgres(PostgresServer::shared().createDatabase(), kOptions);
    sqlite.saveProfiles(awkwardListings(), 100);
    postgres.saveProfiles(awkwardListings(), 100);

    const auto rows = [](const std::vector<relay::DirectoryRow>& page) {
        std::vector<std::string> out;
        for (const auto& r : page)
            out.push_back(r.number + "|" + r.name + "|" + r.nameKey + (r.business ? "|b" : ""));
        return out;
    };
    std::vector<relay::DirectoryQuery> queries;
    for (const char* letter : {"A", "E", "S", "Z", "#"})
        queries.push_back({letter, "", "", false, {}, 4});
    for (const char* prefix : {"a", "a ", "ab", "ω", "李", "ss", "e"})
        queries.push_back({"", prefix, "", false, {}, 4});
    queries.push_back({"", "1", "1", true, {}, 4});
    queries.push_back({"", "0-1", "0-1-555-11", false, {}, 4});
    for (auto q : queries) {
        // Walked page by page, and from a cursor that names no row.
        for (const auto& start : {std::optional<relay::DirectoryCursor>{},
                                  std::optional<relay::DirectoryCursor>{{"b", "0"}}}) {
            q.after = start;
            for (int page = 0;; ++page) {
                const auto a = sqlite.directory(q);
                ASSERT_EQ(rows(a), rows(postgres.directory(q)))
                    << q.letter << q.namePrefix << q.numberPrefix << " " << page;
                if (a.size() < q.limit) break;
                q.after = relay::DirectoryCursor{a.back().nameKey, a.back().number};
            }
        }
    }
    std::filesystem::remove_all(dir);
}

TEST(PostgresStoreTest, ADecisionAboutANumberWaitsForTheOneUnderWayOnAnotherNode) {
    const auto conninfo = PostgresServer::shared().createDatabase();
    PostgresStore a(conninfo, kOptions);
    PostgresStore b(conninfo, kOptions);
    const std::string n = number(1);
    a.saveProfile({n, "Ann", "ann", "A", "Mac", ""}, 100);

    std::atomic<bool> decided{false};
    std::string seen;
    std::thread other;
    a.underNumberLock(n, false, [&] {
        a.setPinHash(n, "first");
        other = std::thread([&] {
            b.underNumberLock(n, false, [&] {
                seen = b.number(n)->pinHash;
                decided = true;
            });
        });
        b.underNumberLock(number(2), false, [] {});  // another number is not held up
        std::this_thread::sleep_for(300ms);
        EXPECT_FALSE(decided);
    });
    other.join();
    EXPECT_TRUE(decided);
    EXPECT_EQ(seen, "first");  // the other node decided on what this one stored

    // A decision that fails leaves nothing half done.
    const auto failing = [&] {
        a.setPinHash(n, "half");
        throw std::runtime_error("hashing failed");
    };
    EXPECT_THROW(a.underNumberLock(n, false, failing), std::runtime_error);
    EXPECT_EQ(b.number(n)->pinHash, "first");
}

TEST(PostgresStoreTest, NodesStartingTogetherUpgradeTheSchemaOnce) {
    const auto conninfo = PostgresServer::shared().createDatabase();
    std::vector<std::thread> nodes;
    for (int i = 0; i < 4; ++i)
        nodes.emplace_back([&] {
            try {
                PostgresStore store(conninfo, kOptions);
            } catch (const std::exception& e) {
                ADD_FAILURE() << e.what();
            }
        });
    for (auto& t : nodes) t.join();
    EXPECT_EQ(PostgresServer::query(conninfo, "SELECT count(*) FROM schema_version"),
              std::to_string(PostgresStore::schemaVersion()));
}

TEST(PostgresStoreTest, CallsFailWhileTheDatabaseIsDownAndWorkOnceItIsBack) {
    PostgresServer server;  // its own: this test stops it
    PostgresStore store(server.createDatabase(), kOptions);
    const std::string n = number(1);
    store.saveProfile({n, "Ann", "ann", "A", "Mac", ""}, 100);
    store.setPinHash(n, "hash");

    server.stop();
    EXPECT_THROW(store.number(n), std::runtime_error);  // never "no such number"
    bool ran = false;
    EXPECT_THROW(store.underNumberLock(n, false, [&] { ran = true; }), std::runtime_error);
    EXPECT_FALSE(ran);

    server.start();
    EXPECT_EQ(store.number(n)->pinHash, "hash");
    // A restart while the store is idle costs no call at all.
    server.stop();
    server.start();
    EXPECT_EQ(store.number(n)->pinHash, "hash");
}

// Two relay nodes, one database and one server key: a number and its PIN
// registered on one are guarded on the other, wrong PINs tried on both lock
// it on both, and both serve the same directory.
TEST(PostgresRelayTest, TwoNodesShareNumbersPinsWrongPinCountsAndTheDirectory) {
    Relays cluster(Backend::cluster);
    RelayProcess& first = cluster.node(0);
    RelayProcess& second = cluster.node(1);
    const std::string n = number(1);
    EXPECT_TRUE(join(first, on(n, "mac-owner", "4821")).hasPin);
    EXPECT_TRUE(join(second, on(n, "mac-owner")).hasPin);  // its computer is trusted there too
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(
            refused(i % 2 ? first : second, on(n, "mac-thief", "000" + std::to_string(i))).reason,
            "Wrong PIN.");
    for (const RelayProcess* node : {&first, &second})  // locked on both, right PIN or not
        EXPECT_EQ(refused(*node, on(n, "mac-friend", "4821")).reason,
                  "Too many wrong PINs. Try again later.");

    const auto page = httpGet(first.port(), "/merrowfax/directory?letter=A");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(httpGet(second.port(), "/merrowfax/directory?letter=A").body, page.body);
}

TEST(PostgresRelayTest, AnUnreachableDatabaseStopsTheStartWithAClearError) {
    const auto data = makeTempFolder("relay-data-");
    const std::string command =
        RelayProcess::defaultBinary().string() + " --listen 127.0.0.1:0 --data " + data.string() +
        " --nats nats://127.0.0.1:9 --postgres 'host=/nonexistent dbname=merrowfax user=relay' 2>" +
        (data / "log").string();
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << status;
    EXPECT_THAT(fileText(data / "log"),
                ::testing::HasSubstr("event=fatal error=\"cannot reach PostgreSQL"));
    std::filesystem::remove_all(data);
}

}  // namespace
}  // namespace merrowfax::testing
