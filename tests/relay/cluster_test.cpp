// What only a cluster of relay nodes has: what crosses the bus is limited to
// the numbers someone follows, the per-number limit spans the nodes, and the
// service goes on when a node is killed (its clients move to the other node
// in the middle of a call) and when NATS restarts. The live suite covers the rest on two
// nodes too (live_test.cpp).
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "relays.h"

namespace merrowfax::testing {
namespace {

std::string bookNaming(const std::string& n) {
    return R"({"op":"book","contacts":[{"name":"Friend","number":")" + n + R"("}]})";
}

// Call audio from the client's side: kind 2, the target, the media.
std::string audioTo(const std::string& target, const std::string& media) {
    return std::string(1, '\x02') + static_cast<char>(target.size()) + target + media;
}

// The next binary frame, text records passed over.
std::string nextFrame(WsClient& client) {
    for (auto m = client.receive(); m; m = client.receive())
        if (m->binary) return m->data;
    return "(no frame came)";
}

// Each client connection's subscriptions, as the NATS server lists them.
std::vector<std::set<std::string>> subscriptions(NatsServer& nats) {
    const auto answer = httpGet(nats.monitorPort(), "/connz?subs=1");
    std::vector<std::set<std::string>> out;
    const auto doc = parseJson(answer.body);
    if (!doc.IsObject() || !doc.HasMember("connections")) return out;
    for (const auto& conn : doc["connections"].GetArray()) {
        auto& subs = out.emplace_back();
        if (conn.HasMember("subscriptions_list"))
            for (const auto& s : conn["subscriptions_list"].GetArray()) subs.insert(s.GetString());
    }
    return out;
}

// Reads text records until one says `text`; false when none came.
bool textArrives(WsClient& client, const std::string& text) {
    for (auto doc = client.waitFor("text"); doc; doc = client.waitFor("text"))
        if ((*doc)["text"] == text.c_str()) return true;
    return false;
}

// Waits until the node's /metrics says it reaches NATS and hears `nodes` others.
bool clusterUp(const RelayProcess& node, int nodes) {
    const std::string connected = "merrowfax_relay_cluster_connected 1\n";
    const std::string heard = "merrowfax_relay_cluster_nodes " + std::to_string(nodes) + "\n";
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto body = httpGet(node.port(), "/metrics").body;
        if (body.find(connected) != std::string::npos && body.find(heard) != std::string::npos)
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

class ClusterTest : public ::testing::Test {
protected:
    explicit ClusterTest(std::vector<std::string> args = {})
        : relays(Backend::cluster, std::move(args)) {}
    RelayProcess& node1() { return relays.node(0); }
    RelayProcess& node2() { return relays.node(1); }
    static Device device(int i, std::string computer = "") {
        return makeDevice(number(i), "Ann",
                          computer.empty() ? "mac-computer-" + std::to_string(i) : computer);
    }

    Relays relays;
};

TEST_F(ClusterTest, OnlyFollowedNumbersCrossTheBus) {
    auto a = join(node1(), device(1));
    a.client->sendText(bookNaming(number(2)));
    drain(*a.client);
    auto b = join(node2(), device(2));
    auto c = join(node2(), device(3));  // nobody follows c
    EXPECT_TRUE(presenceBecomes(*a.client, {number(2)}));
    EXPECT_TRUE(pongs(*c.client));

    // Node 1 listens for its own number and for b's state, never for c:
    // presence is asked per number, and nobody takes the whole population.
    const auto subs = subscriptions(relays.nats());
    const auto own = [&](const std::string& n) {
        for (const auto& s : subs)
            if (s.contains("mfx.n." + n)) return s;
        return std::set<std::string>{};
    };
    const auto first = own(number(1));
    const auto second = own(number(2));
    ASSERT_FALSE(first.empty());
    ASSERT_TRUE(second.contains("mfx.n." + number(3)));
    EXPECT_TRUE(first.contains("mfx.p." + number(2)));
    EXPECT_FALSE(first.contains("mfx.p." + number(3)));
    EXPECT_FALSE(first.contains("mfx.n." + number(3)));
    for (const auto& s : subs)
        for (const auto& subject : s)
            EXPECT_TRUE(subject.find('>') == std::string::npos &&
                        (subject.find('*') == std::string::npos || subject.starts_with("mfx.ack.")))
                << subject;
}

class ClusterLimitTest : public ClusterTest {
protected:
    ClusterLimitTest() : ClusterTest({"--max-per-number", "2"}) {}
};

TEST_F(ClusterLimitTest, TheOldestConnectionGoesWhicheverNodeItIsOn) {
    auto b1 = join(node1(), device(2, "mac-one"));
    auto b2 = join(node2(), device(2, "mac-two"));
    auto b3 = join(node1(), device(2, "mac-three"));
    EXPECT_EQ(b1.client->waitClosed(), 1008);
    EXPECT_TRUE(pongs(*b2.client));
    EXPECT_TRUE(pongs(*b3.client));
    // Now the oldest is on the other node.
    auto b4 = join(node2(), device(2, "mac-four"));
    EXPECT_EQ(b2.client->waitClosed(), 1008);
    EXPECT_TRUE(pongs(*b3.client));
    EXPECT_TRUE(pongs(*b4.client));
}

TEST_F(ClusterTest, AKilledNodesNumbersGoOfflineAndItsClientsCarryOnElsewhere) {
    const Device ann = device(1);
    auto a = join(node1(), ann);
    auto b = join(node2(), device(2));
    b.client->sendText(bookNaming(number(1)));
    EXPECT_TRUE(presenceBecomes(*b.client, {number(1)}));
    a.client->sendBinary(audioTo(number(2), "hello"));
    EXPECT_EQ(nextFrame(*b.client), audioTo(number(1), "hello"));

    node1().kill();
    // Nothing the dead node held is waited for: a record to a answers "miss",
    // and a goes offline for b within the lease.
    b.client->sendText(textRecord(number(1), "still there?"));
    bool missed = false;
    std::vector<std::string> online = {"(no list came)"};
    while (!missed || !online.empty()) {
        auto m = b.client->receive();
        ASSERT_TRUE(m) << "missed " << missed << ", online " << online.size();
        const auto doc = parseJson(m->data);
        if (m->binary || !doc.IsObject()) continue;
        if (doc["op"] == "miss") missed = true;
        if (doc["op"] == "presence") online = presenceOf(doc);
    }

    // a's client comes back through the other node; the call goes on.
    auto again = join(node2(), ann);
    EXPECT_TRUE(presenceBecomes(*b.client, {number(1)}));
    again.client->sendBinary(audioTo(number(2), "back"));
    EXPECT_EQ(nextFrame(*b.client), audioTo(number(1), "back"));
    b.client->sendText(textRecord(number(1), "welcome back"));
    const auto text = again.client->waitFor("text");
    ASSERT_TRUE(text);
    EXPECT_STREQ((*text)["text"].GetString(), "welcome back");
}

TEST_F(ClusterTest, WhileNatsIsDownRecordsAnswerMissAndAfterItReturnsAllFlowsAgain) {
    auto a = join(node1(), device(1));
    auto b = join(node2(), device(2));
    b.client->sendText(bookNaming(number(1)));
    EXPECT_TRUE(presenceBecomes(*b.client, {number(1)}));
    a.client->sendText(textRecord(number(2), "before"));
    ASSERT_TRUE(b.client->waitFor("text"));

    relays.nats().stop();
    // Longer than the lease: each node gives the other up meanwhile.
    for (int i = 0; i < 6; ++i) {
        a.client->sendText(textRecord(number(2), "gap " + std::to_string(i)));
        EXPECT_TRUE(a.client->waitFor("miss")) << i;
        std::this_thread::sleep_for(200ms);
    }
    relays.nats().start();
    ASSERT_TRUE(clusterUp(node1(), 1));
    ASSERT_TRUE(clusterUp(node2(), 1));

    // b saw a go and come back; texts flow both ways again.
    EXPECT_TRUE(presenceBecomes(*b.client, {}));
    EXPECT_TRUE(presenceBecomes(*b.client, {number(1)}));
    // (A gap record the library held before it saw the link go may come too.)
    a.client->sendText(textRecord(number(2), "after"));
    EXPECT_TRUE(textArrives(*b.client, "after"));
    b.client->sendText(textRecord(number(1), "and back"));
    EXPECT_TRUE(a.client->waitFor("text"));
}

}  // namespace
}  // namespace merrowfax::testing
