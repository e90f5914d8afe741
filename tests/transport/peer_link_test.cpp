#include <gtest/gtest.h>

#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>

#include "lan_test_support.h"
#include "support/discovery_double.h"
#include "transport/peer_link.h"
#include "wire/envelope_builders.h"

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

constexpr const char* kUuid = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";

bool sendEnvelope(lan::Sessions& from, const std::string& to, const wire::Envelope& envelope) {
    return from.send(to, wire::encodeLanFrame(wire::FrameKind::envelope,
                                              bytesOf(*wire::encodeEnvelope(envelope))));
}

// A device that is only its sessions, so a test says what its link would;
// with `same`, a device that starts again with that certificate.
struct BareDevice {
    explicit BareDevice(const std::string& key, const LanIdentity* same = nullptr)
        : key(key), sessions(key, same ? *same : id.identity, inbox.path().toStdString()) {
        lan::Sessions::Callbacks callbacks;
        callbacks.received = [this](const std::string&, std::span<const std::byte> m) {
            got.push_back(textOf(m));
        };
        sessions.setCallbacks(callbacks);
        port = sessions.listen();
    }
    std::string key;
    TestIdentity id;
    QTemporaryDir inbox;
    lan::Sessions sessions;
    std::uint16_t port = 0;
    std::vector<std::string> got;
};

// One installation on the test network: its link and what it heard.
struct Device {
    Device(DiscoveryNetwork& network, const std::string& deviceId) {
        auto member = network.join();
        discovery = member.get();
        link = std::make_unique<PeerLink>(std::move(member), id.identity);
        link->setDevice(deviceId);
        link->setHandler([this](wire::PeerEvent event) {
            std::lock_guard lock(eventLock);
            events.push_back(std::move(event));
        });
    }

    template <typename T>
    std::vector<T> all() {
        std::lock_guard lock(eventLock);
        std::vector<T> out;
        for (const auto& event : events) {
            if (const auto* e = std::get_if<T>(&event)) out.push_back(*e);
        }
        return out;
    }
    std::set<std::string> online() {
        const auto list = all<wire::events::Online>();
        return list.empty() ? std::set<std::string>() : list.back().numbers;
    }
    bool connectedTo(const Device& other) {
        return !link->peers(other.number).empty() || [&] {
            for (const auto& peer : link->peerList()) {
                if (peer.key == other.link->ownKey()) return peer.connected;
            }
            return false;
        }();
    }

    TestIdentity id;
    DiscoveryNetwork::Member* discovery = nullptr;
    std::unique_ptr<PeerLink> link;
    std::string number;
    std::mutex eventLock;
    std::vector<wire::PeerEvent> events;
};

class PeerLinkTest : public ::testing::Test {
protected:
    QuickLanTimings quick_;
    std::shared_ptr<DiscoveryNetwork> network_ = DiscoveryNetwork::make();

    TestService service_;

    void start(Device& device, const std::string& number, const std::string& name) {
        device.number = number;
        device.link->setServiceKey(service_.key());
        if (!number.empty()) {
            device.link->setStatement(service_.vouch(number, device.id.identity.fingerprint));
        }
        device.link->start(number, name);
    }
    // What a device's roster says, sent from bare sessions.
    static bool roster(lan::Sessions& from, const std::string& to, const std::string& number,
                       const std::string& statement) {
        wire::Envelope envelope;
        envelope.op = "roster";
        envelope.number = number;
        if (!statement.empty()) envelope.cert = statement;
        return sendEnvelope(from, to, envelope);
    }
    // `bare`, advertised as serving `number`, is in session with Ann; proven
    // with the service's statement unless `prove` is false.
    bool joined(BareDevice& bare, Device& ann, DiscoveryNetwork::Member& discovery,
                const std::string& number, bool prove = true) {
        discovery.advertise(bare.key, bare.port, {{"n", number}, {"a", "Ben"}});
        if (!spinFor([&] { return bare.sessions.isConnected(ann.link->ownKey()); })) return false;
        if (!prove) return true;
        return roster(bare.sessions, ann.link->ownKey(), number,
                      service_.vouch(number, bare.id.identity.fingerprint)) &&
               spinFor([&] { return ann.online() == std::set<std::string>{number}; });
    }
};

}  // namespace

// What crosses, whole, is the CLI LAN tests'; what the link writes into a
// record for the other side, and a stop, are checked here.
TEST_F(PeerLinkTest, ARecordLeavesWithTheSendersNumberDeviceAndKey) {
    Device ann(*network_, "AAAAAAAA-0000-4000-8000-000000000001");
    Device ben(*network_, "BBBBBBBB-0000-4000-8000-000000000002");
    start(ann, "0-1-234-5678", "Ann");
    start(ben, "0-1-234-9999", "Ben");
    ASSERT_TRUE(spinFor([&] { return ann.online() == std::set<std::string>{"0-1-234-9999"}; }));
    wire::Envelope text;
    text.op = "text";
    text.id = kUuid;
    text.to = "0-1-234-9999";
    text.text = "hello over the LAN";
    ASSERT_TRUE(ann.link->sendEnvelope(text, ann.link->peers("0-1-234-9999")));
    ASSERT_TRUE(spinFor([&] { return !ben.all<wire::events::Text>().empty(); }));
    const auto got = ben.all<wire::events::Text>().front();
    EXPECT_EQ(got.from, "0-1-234-5678");
    EXPECT_EQ(got.device, "AAAAAAAA-0000-4000-8000-000000000001");
    EXPECT_EQ(got.peerKey, "m-AAAAAAAA");

    // Stopping one end: the other hears of it at once, well before its idle timer.
    ben.link->stop();
    ASSERT_TRUE(spinFor([&] { return ann.online().empty(); }, 1000));
}

TEST_F(PeerLinkTest, ADeviceWithoutANumberOnlyAdvertisesAndIsLeftOutOfOnline) {
    Device ann(*network_, "AAAAAAAA-0000-4000-8000-000000000001");
    Device fresh(*network_, "CCCCCCCC-0000-4000-8000-000000000003");
    start(fresh, "", "New");
    start(ann, "0-1-234-5678", "Ann with a name much longer than twenty-four");
    EXPECT_EQ(ann.discovery->advertised()->text.at("a"), "Ann with a name much lon");
    EXPECT_TRUE(fresh.discovery->advertising());
    EXPECT_FALSE(fresh.discovery->browsing());
    // Ann finds it and invites it; it accepts and tells its empty number.
    ASSERT_TRUE(spinFor([&] { return ann.connectedTo(fresh); }));
    spinAWhile(100);
    EXPECT_TRUE(ann.online().empty());
    EXPECT_EQ(fresh.online(), std::set<std::string>{"0-1-234-5678"});
    EXPECT_TRUE(ann.link->peers("").empty());
}

TEST_F(PeerLinkTest, AFoundDeviceIsInvitedAgainOnlyAfterTheGuardAndAConnectedOneNever) {
    // Something that takes connections and never finishes a handshake.
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    int connections = 0;
    QObject::connect(&silent, &QTcpServer::newConnection, [&] {
        while (auto* s = silent.nextPendingConnection()) {
            ++connections;
            s->setParent(&silent);
        }
    });
    Timings t = timings();
    t.lanInvite = std::chrono::milliseconds(200);  // so that the first one is over in time
    setTimings(t);
    Device ann(*network_, "AAAAAAAA-0000-4000-8000-000000000001");
    start(ann, "0-1-234-5678", "Ann");
    const Discovery::Service ghost{
        "m-GGGGGGGG", "127.0.0.1", silent.serverPort(), {{"n", "0-9-9"}}};
    ann.discovery->report(ghost);
    ann.discovery->report(ghost);
    ann.discovery->report(ghost);
    ASSERT_TRUE(spinFor([&] { return connections >= 1; }));
    // Seen but not connected: neither online by its advertised number nor routable.
    EXPECT_TRUE(ann.online().empty());
    EXPECT_TRUE(ann.link->peers("0-9-9").empty());
    spinAWhile(100);
    EXPECT_EQ(connections, 1);
    // Past the guard, a device still in sight is invited again.
    ASSERT_TRUE(spinFor([&] { return connections >= 2; }, 2000));

    // Gone from the network: no longer invited.
    ann.discovery->reportLost("m-GGGGGGGG");
    t.lanInvite = std::chrono::milliseconds(5000);
    setTimings(t);
    spinAWhile(300);
    const int ghostConnections = connections;
    spinAWhile(400);
    EXPECT_EQ(connections, ghostConnections);

    // A connected device reported again is left alone.
    Device ben(*network_, "BBBBBBBB-0000-4000-8000-000000000002");
    start(ben, "0-1-234-9999", "Ben");
    ASSERT_TRUE(spinFor([&] { return ann.connectedTo(ben) && ben.connectedTo(ann); }));
    spinAWhile(200);  // the rosters
    const std::size_t onlineReports = ann.all<wire::events::Online>().size();
    spinAWhile(350);
    ann.discovery->report(*ben.discovery->advertised());
    spinAWhile(200);
    EXPECT_TRUE(ann.connectedTo(ben));
    // One report for the sighting; no connecting, no reconnecting.
    EXPECT_EQ(ann.all<wire::events::Online>().size(), onlineReports + 1);
    EXPECT_EQ(ann.link->peerList().size(), 1u);
}

TEST_F(PeerLinkTest, ADroppedSessionLeavesOnlineAtOnceWhileTheSightingStays) {
    Device ann(*network_, "AAAAAAAA-0000-4000-8000-000000000001");
    // Ben's sessions without his link, so they can end while he is still advertised.
    auto ben = std::make_unique<BareDevice>("m-BBBBBBBB");
    auto benDiscovery = network_->join();
    start(ann, "0-1-234-5678", "Ann");
    ASSERT_TRUE(joined(*ben, ann, *benDiscovery, "0-1-234-9999"));
    // Ann's roster came first.
    ASSERT_TRUE(spinFor([&] { return !ben->got.empty(); }));
    EXPECT_NE(ben->got.front().find("\"op\":\"roster\""), std::string::npos);
    EXPECT_NE(ben->got.front().find("\"number\":\"0-1-234-5678\""), std::string::npos);
    EXPECT_NE(ben->got.front().find("\"cert\":\"v1."), std::string::npos);

    // Ben's program ends; his advertisement lingers, as it may on a network.
    ben.reset();
    ASSERT_TRUE(spinFor([&] { return ann.online().empty(); }, 2000));
    spinAWhile(400);  // invitations of a device in sight fail quietly
    const auto peers = ann.link->peerList();
    ASSERT_EQ(peers.size(), 1u);
    EXPECT_EQ(peers.front().key, "m-BBBBBBBB");
    EXPECT_FALSE(peers.front().connected);
    EXPECT_EQ(peers.front().number, "");

    // Lost from the network: gone.
    benDiscovery->stop();
    ASSERT_TRUE(spinFor([&] { return ann.link->peerList().empty(); }, 2000));
}

TEST_F(PeerLinkTest, FileBytesNeedTheirEnvelopeFromTheSameDeviceAndWaitingEnvelopesAreBounded) {
    Device ann(*network_, "AAAAAAAA-0000-4000-8000-000000000001");
    BareDevice ben("m-BBBBBBBB");
    auto benDiscovery = network_->join();
    start(ann, "0-1-234-5678", "Ann");
    ASSERT_TRUE(joined(ben, ann, *benDiscovery, "0-1-234-9999"));

    // Bytes nobody announced are dropped.
    QTemporaryDir dir;
    const std::string path = writeFile(dir, "bytes", "orphan");
    ASSERT_TRUE(ben.sessions.sendResource("m-AAAAAAAA", std::string("file-") + kUuid, path));
    spinAWhile(300);
    EXPECT_TRUE(ann.all<wire::events::File>().empty());

    // Announcements whose bytes never come wait, up to a bound.
    auto announce = [&](int i) {
        char resource[64];
        std::snprintf(resource, sizeof resource, "file-00000000-0000-4000-8000-%012d", i);
        wire::Envelope file;
        file.op = "file";
        file.id = Uuid::random().text();
        file.number = "0-1-234-9999";
        file.to = "0-1-234-5678";
        file.fileName = "x";
        file.fileKind = "file";
        file.resource = resource;
        return sendEnvelope(ben.sessions, "m-AAAAAAAA", file);
    };
    ASSERT_TRUE(announce(1));
    ASSERT_TRUE(spinFor([&] { return ann.link->pendingFileCount() == 1; }));
    for (int i = 2; i <= 300; ++i) ASSERT_TRUE(announce(i));
    ASSERT_TRUE(
        spinFor([&] { return ann.link->pendingFileCount() == PeerLink::kMaxPendingFiles; }));
    spinAWhile(100);
    EXPECT_EQ(ann.link->pendingFileCount(), PeerLink::kMaxPendingFiles);
    EXPECT_TRUE(ann.all<wire::events::File>().empty());

    // Undecodable envelopes and unknown kinds are dropped without harm.
    ASSERT_TRUE(ben.sessions.send("m-AAAAAAAA", bytesOf(kinded(1, "{not json"))));
    ASSERT_TRUE(ben.sessions.send("m-AAAAAAAA", bytesOf(kinded(9, "whatever"))));
    ASSERT_TRUE(ben.sessions.send("m-AAAAAAAA", bytesOf("\x01{\"op\":\"mystery\"}")));
    spinAWhile(100);
    EXPECT_EQ(ann.link->peers("0-1-234-9999").size(), 1u);
}

TEST_F(PeerLinkTest, OnlyANumberTheServiceVouchedForThisCertificateIsTaken) {
    Device ann(*network_, "AAAAAAAA-0000-4000-8000-000000000001");
    TestIdentity benId;
    BareDevice carl("m-CCCCCCCC");
    auto carlDiscovery = network_->join();
    start(ann, "0-1-234-5678", "Ann");
    // Carl advertises Ben's number.
    ASSERT_TRUE(joined(carl, ann, *carlDiscovery, "0-1-234-9999", false));

    const std::string ben = "0-1-234-9999";
    const std::string carlCert = carl.id.identity.fingerprint;
    const std::string good = service_.vouch(ben, carlCert);
    TestService stranger;
    std::string flipped = good;
    flipped[flipped.size() / 2] = flipped[flipped.size() / 2] == 'A' ? 'B' : 'A';
    const std::vector<std::pair<std::string, std::string>> unproven = {
        {"no statement", ""},
        {"truncated", good.substr(0, good.size() - 5)},
        {"altered", flipped},
        {"signed by another key", stranger.vouch(ben, carlCert)},
        {"expired", wire::signStatement({ben, carlCert, 1000, 2000}, service_.keys.second)},
        {"for another number", service_.vouch("0-1-234-0000", carlCert)},
        {"for another certificate (Ben's own, replayed)",
         service_.vouch(ben, benId.identity.fingerprint)},
        {"1 MB long", good + std::string(1'000'000, 'x')},
    };
    auto text = [&](const std::string& from, const std::string& body) {
        wire::Envelope e;
        e.op = "text";
        e.id = Uuid::random().text();
        e.number = from;
        e.to = "0-1-234-5678";
        e.text = body;
        return sendEnvelope(carl.sessions, "m-AAAAAAAA", e);
    };
    for (const auto& [what, statement] : unproven) {
        SCOPED_TRACE(what);
        ASSERT_TRUE(roster(carl.sessions, "m-AAAAAAAA", ben, statement));
        ASSERT_TRUE(text(ben, "from " + what));
        spinAWhile(60);
        EXPECT_TRUE(ann.online().empty());
        EXPECT_TRUE(ann.link->peers(ben).empty());
    }
    EXPECT_TRUE(ann.all<wire::events::Text>().empty()) << "texts of an unproven peer count";
    // Linking is open to devices that have proved nothing.
    wire::Envelope hello;
    hello.op = "link-hello";
    hello.linkCode = "123456";
    hello.device = "CCCCCCCC-0000-4000-8000-000000000003";
    ASSERT_TRUE(sendEnvelope(carl.sessions, "m-AAAAAAAA", hello));
    ASSERT_TRUE(spinFor([&] { return !ann.all<wire::events::LinkHello>().empty(); }));
    // Nothing of Ann's went to it but her roster.
    EXPECT_EQ(carl.got.size(), 1u);

    // Proven: its texts are its own number's, whatever they claim.
    ASSERT_TRUE(roster(carl.sessions, "m-AAAAAAAA", ben, good));
    ASSERT_TRUE(spinFor([&] { return ann.online() == std::set<std::string>{ben}; }));
    ASSERT_TRUE(text("0-1-234-0000", "who am I"));
    ASSERT_TRUE(spinFor([&] { return !ann.all<wire::events::Text>().empty(); }));
    EXPECT_EQ(ann.all<wire::events::Text>().front().from, ben);

    // A roster that changes its number mid-session proves nothing.
    ASSERT_TRUE(roster(carl.sessions, "m-AAAAAAAA", "0-1-234-0000", good));
    ASSERT_TRUE(spinFor([&] { return ann.online().empty(); }));

    // A proof lasts as long as its statement.
    const std::int64_t now = TestService::unixNow();
    ASSERT_TRUE(
        roster(carl.sessions, "m-AAAAAAAA", ben,
               wire::signStatement({ben, carlCert, now - 1, now + 2}, service_.keys.second)));
    ASSERT_TRUE(spinFor([&] { return ann.online() == std::set<std::string>{ben}; }));
    ASSERT_TRUE(spinFor([&] { return ann.online().empty(); }, 4000));
    EXPECT_TRUE(ann.link->peers(ben).empty());
}

TEST_F(PeerLinkTest, StrangersLeaveNoTraceAndADeviceThatComesBackIsToldWhoWeAre) {
    Device ann(*network_, "AAAAAAAA-0000-4000-8000-000000000001");
    start(ann, "0-1-234-5678", "Ann");
    QTemporaryDir inbox;

    // Strangers, each with a fresh key and a roster with a huge name: listed
    // while in session, under a name cut short, and gone with the session.
    TestIdentity strangerId;
    for (char c = 'a'; c < 'a' + 12; ++c) {
        const std::string key = std::string("m-S000000") + c;
        lan::Sessions stranger(key, strangerId.identity, inbox.path().toStdString());
        stranger.listen();
        ASSERT_TRUE(stranger.invite("m-AAAAAAAA", "127.0.0.1", ann.link->port()));
        ASSERT_TRUE(spinFor([&] { return stranger.isConnected("m-AAAAAAAA"); }));
        wire::Envelope roster;
        roster.op = "roster";
        roster.number = "0-1-234-9999";
        roster.name = "\u202e" + std::string(1'900'000, 'n');
        ASSERT_TRUE(sendEnvelope(stranger, "m-AAAAAAAA", roster));
        std::string listedAs;
        ASSERT_TRUE(spinFor([&] {
            for (const auto& peer : ann.link->peerList()) {
                if (peer.key == key) listedAs = peer.name;
            }
            return !listedAs.empty();
        }));
        EXPECT_EQ(listedAs, std::string(24, 'n'));
    }
    ASSERT_TRUE(spinFor([&] { return ann.link->peerList().empty(); }, 2000));

    // Ben proves his number; a snapshot he sends unasked is refused.
    BareDevice ben("m-BBBBBBBB");
    ASSERT_TRUE(ben.sessions.invite("m-AAAAAAAA", "127.0.0.1", ann.link->port()));
    ASSERT_TRUE(spinFor([&] { return ben.sessions.isConnected("m-AAAAAAAA"); }));
    ASSERT_TRUE(roster(ben.sessions, "m-AAAAAAAA", "0-1-234-9999",
                       service_.vouch("0-1-234-9999", ben.id.identity.fingerprint)));
    ASSERT_TRUE(spinFor([&] { return ann.online() == std::set<std::string>{"0-1-234-9999"}; }));
    QTemporaryDir dir;
    const std::string snapshot = writeFile(dir, "snap", "{}");
    const std::string unasked = "snap-" + Uuid::random().text() + ".json";
    ASSERT_TRUE(ben.sessions.sendResource("m-AAAAAAAA", unasked, snapshot));
    spinAWhile(500);
    EXPECT_TRUE(ann.all<wire::events::Snapshot>().empty());
    EXPECT_FALSE(std::filesystem::exists(QDir::tempPath().toStdString() + "/" + unasked));

    // Ben's program starts again while Ann still holds his old session: the
    // new one becomes Ann's, and she tells it her number again.
    BareDevice again("m-BBBBBBBB", &ben.id.identity);
    ASSERT_TRUE(again.sessions.invite("m-AAAAAAAA", "127.0.0.1", ann.link->port()));
    ASSERT_TRUE(spinFor([&] {
        return std::any_of(again.got.begin(), again.got.end(), [](const std::string& m) {
            return m.find("\"op\":\"roster\"") != std::string::npos &&
                   m.find("\"cert\":\"v1.") != std::string::npos;
        });
    }));
}
