// LAN discovery through a private Avahi daemon on loopback.
#include <avahi-common/strlst.h>
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/avahi_server.h"
#include "support/event_wait.h"
#include "transport/avahi_discovery.h"

using namespace merrowfax;
using merrowfax::testing::AvahiServer;
using merrowfax::testing::SystemBusAddress;
using Service = Discovery::Service;
using TextMap = Discovery::TextMap;

namespace {

using merrowfax::testing::spinUntil;

void spinFor(int ms) {
    spinUntil([] { return false; }, ms);
}

// One device's discovery and everything it reported.
struct Device {
    AvahiDiscovery discovery;
    std::map<std::string, Service> peers;  // found and not lost since
    std::vector<Service> found;
    std::vector<std::string> lost;

    Device() {
        discovery.setCallbacks({[this](const Service& s) {
                                    found.push_back(s);
                                    peers[s.name] = s;
                                },
                                [this](const std::string& name) {
                                    lost.push_back(name);
                                    peers.erase(name);
                                }});
    }
    bool sees(const std::string& name) const { return peers.count(name) > 0; }
    std::optional<Service> peer(const std::string& name) const {
        const auto it = peers.find(name);
        return it == peers.end() ? std::nullopt : std::optional(it->second);
    }
    std::size_t heard() const { return found.size() + lost.size(); }
    bool reportedItself() const {
        const auto own = discovery.advertisedName();
        for (const auto& s : found) {
            if (s.name == own) return true;
        }
        return false;
    }
};

const TextMap kAliceText{{"n", "0-1-234-5678"}, {"a", "Alice"}, {"k", "a1b2c3"}};
const TextMap kBobText{{"n", "44-1-555-0001"}, {"a", "Bob"}, {"k", "d4e5f6"}};
constexpr int kFound = 6000;  // a first resolve takes most of a second
constexpr int kLost = 3000;

class AvahiDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!AvahiServer::available()) GTEST_SKIP() << "avahi-daemon or dbus-daemon is missing";
        server.emplace();
    }
    std::optional<AvahiServer> server;
};

TEST_F(AvahiDiscoveryTest, DevicesFindEachOtherAndFollowChangesUntilWithdrawn) {
    Device alice, bob;
    alice.discovery.advertise("alice", 4001, kAliceText);
    bob.discovery.advertise("bob", 4002, kBobText);
    alice.discovery.browse(true);
    bob.discovery.browse(true);
    ASSERT_TRUE(spinUntil([&] { return alice.sees("bob") && bob.sees("alice"); }, kFound))
        << server->log();
    EXPECT_EQ(bob.peer("alice"), (Service{"alice", "127.0.0.1", 4001, kAliceText}));
    EXPECT_EQ(alice.peer("bob"), (Service{"bob", "127.0.0.1", 4002, kBobText}));
    EXPECT_EQ(alice.discovery.advertisedName(), "alice");

    auto renamed = kAliceText;
    renamed["a"] = "Alice Liddell";
    alice.discovery.advertise("alice", 4001, renamed);
    ASSERT_TRUE(
        spinUntil([&] { return bob.sees("alice") && bob.peer("alice")->text == renamed; }, kFound));

    alice.discovery.advertise("alice", 4011, renamed);
    ASSERT_TRUE(
        spinUntil([&] { return bob.sees("alice") && bob.peer("alice")->port == 4011; }, kFound));

    // Each change was one report, and none looked like the device leaving.
    EXPECT_EQ(bob.found.size(), 3u);
    EXPECT_TRUE(bob.lost.empty());
    alice.discovery.stop();
    ASSERT_TRUE(spinUntil([&] { return !bob.sees("alice"); }, kLost));
    EXPECT_EQ(bob.lost.back(), "alice");
    EXPECT_EQ(alice.discovery.advertisedName(), "");
    EXPECT_FALSE(bob.reportedItself());
    for (const auto& s : alice.found) EXPECT_NE(s.name, "alice");
}

TEST_F(AvahiDiscoveryTest, ADestroyedDeviceIsLostAndAStoppedBrowserHearsNothing) {
    auto alice = std::make_unique<Device>();
    Device watcher, quiet;
    alice->discovery.advertise("alice", 4001, kAliceText);
    watcher.discovery.browse(true);
    quiet.discovery.browse(true);
    ASSERT_TRUE(spinUntil([&] { return watcher.sees("alice") && quiet.sees("alice"); }, kFound))
        << server->log();

    quiet.discovery.browse(false);
    quiet.peers.clear();  // forgotten without reports
    const auto heard = quiet.heard();
    Device carol;
    carol.discovery.advertise("carol", 4003, kBobText);
    ASSERT_TRUE(spinUntil([&] { return watcher.sees("carol"); }, kFound));
    alice.reset();
    ASSERT_TRUE(spinUntil([&] { return !watcher.sees("alice"); }, kLost));
    spinFor(200);
    EXPECT_EQ(quiet.heard(), heard);

    // Browsing again starts from what is there now.
    quiet.discovery.browse(true);
    ASSERT_TRUE(spinUntil([&] { return quiet.sees("carol"); }, kFound));
    EXPECT_FALSE(quiet.sees("alice"));
}

TEST_F(AvahiDiscoveryTest, TwoDevicesOfOneNameEndUnderTwoNamesAndBothAreFound) {
    Device first, second, watcher;
    first.discovery.advertise("twin", 4001, kAliceText);
    second.discovery.advertise("twin", 4002, kBobText);
    first.discovery.browse(true);
    second.discovery.browse(true);
    watcher.discovery.browse(true);
    ASSERT_TRUE(spinUntil(
        [&] {
            return watcher.peers.size() == 2 && first.peers.size() == 1 && second.peers.size() == 1;
        },
        kFound))
        << server->log();
    const auto firstName = first.discovery.advertisedName();
    const auto secondName = second.discovery.advertisedName();
    EXPECT_NE(firstName, secondName);
    EXPECT_TRUE(firstName == "twin" || secondName == "twin");
    ASSERT_TRUE(watcher.sees(firstName) && watcher.sees(secondName));
    EXPECT_EQ(watcher.peer(firstName)->port, 4001);
    EXPECT_EQ(watcher.peer(secondName)->port, 4002);
    // Each sees the other under the other's name, never itself.
    EXPECT_TRUE(first.sees(secondName));
    EXPECT_TRUE(second.sees(firstName));
}

TEST_F(AvahiDiscoveryTest, ADaemonThatRestartsIsFollowed) {
    Device alice, bob;
    alice.discovery.advertise("alice", 4001, kAliceText);
    bob.discovery.browse(true);
    ASSERT_TRUE(spinUntil([&] { return bob.sees("alice"); }, kFound)) << server->log();
    server->restartAvahi();
    ASSERT_TRUE(spinUntil([&] { return !bob.lost.empty(); }, kLost));
    EXPECT_EQ(bob.lost.back(), "alice");
    // Both clients wait for the new daemon, then publish and browse again.
    ASSERT_TRUE(spinUntil([&] { return bob.sees("alice"); }, kFound)) << server->log();
    EXPECT_EQ(bob.peer("alice")->text, kAliceText);
}

// Records in reading order (Avahi's list adds at the front).
struct Records {
    AvahiStringList* list = nullptr;
    explicit Records(std::vector<std::string> items) {
        for (auto it = items.rbegin(); it != items.rend(); ++it) {
            list = avahi_string_list_add_arbitrary(
                list, reinterpret_cast<const std::uint8_t*>(it->data()), it->size());
        }
    }
    ~Records() { avahi_string_list_free(list); }
    Records(const Records&) = delete;
    Records& operator=(const Records&) = delete;
};

TEST(AvahiDiscoveryText, KeepsWellFormedUtf8PairsAndSkipsTheRest) {
    Records records({"n=Alice", "flag", "=orphan", "bad\xff=1", "half=\xc3", "overlong=\xc0\xaf",
                     "surrogate=\xed\xa0\x80", "dup=first", "dup=second", "e=\xc3\xa9",
                     "emoji=\xf0\x9f\x98\x80", "eq=a=b"});
    EXPECT_EQ(AvahiDiscovery::readText(records.list), (TextMap{{"n", "Alice"},
                                                               {"flag", ""},
                                                               {"dup", "first"},
                                                               {"e", "\xc3\xa9"},
                                                               {"emoji", "\xf0\x9f\x98\x80"},
                                                               {"eq", "a=b"}}));
}

TEST(AvahiDiscoveryText, StopsAtTheSizeLimits) {
    // A record of 255 bytes is taken, one of 256 skipped, and reading goes on.
    Records sizes({"a=" + std::string(253, 'x'), "b=" + std::string(254, 'x'), "c=1"});
    const auto sized = AvahiDiscovery::readText(sizes.list);
    EXPECT_EQ(sized.size(), 2u);
    EXPECT_TRUE(sized.count("a") && sized.count("c"));

    std::vector<std::string> many;
    for (int i = 0; i < 20; ++i) many.push_back("k" + std::to_string(i) + "=v");
    Records entries(many);
    const auto counted = AvahiDiscovery::readText(entries.list);
    EXPECT_EQ(counted.size(), AvahiDiscovery::kMaxTextEntries);
    EXPECT_TRUE(counted.count("k15") && !counted.count("k16"));

    // Skipped records count towards the total: 4000 bytes of junk leave
    // room for a small record only.
    Records junk({std::string(1000, 'j'), std::string(1000, 'j'), std::string(1000, 'j'),
                  std::string(1000, 'j'), "a=1", "b=" + std::string(200, 'x'), "c=1"});
    EXPECT_EQ(AvahiDiscovery::readText(junk.list), (TextMap{{"a", "1"}}));
    EXPECT_TRUE(AvahiDiscovery::readText(nullptr).empty());
}

TEST(AvahiDiscoveryWithoutDaemon, StaysQuietAndQuick) {
    SystemBusAddress nowhere("unix:path=/nonexistent/merrowfax-test-bus");
    QElapsedTimer timer;
    timer.start();
    {
        Device alice;
        alice.discovery.advertise("alice", 4001, kAliceText);
        alice.discovery.browse(true);
        spinFor(100);
        EXPECT_EQ(alice.heard(), 0u);
        EXPECT_EQ(alice.discovery.advertisedName(), "alice");
        alice.discovery.stop();
    }
    EXPECT_LT(timer.elapsed(), 600);
}

}  // namespace
