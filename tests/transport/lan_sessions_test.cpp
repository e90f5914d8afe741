#include <gtest/gtest.h>

#include <QFile>
#include <QHostAddress>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <atomic>
#include <memory>
#include <mutex>

#include "lan_test_support.h"
#include "transport/lan_connection.h"
#include "transport/lan_limits.h"
#include "transport/lan_media_socket.h"
#include "transport/lan_sessions.h"

using namespace merrowfax;
using namespace merrowfax::lan;
using namespace merrowfax::testing;

namespace {

using State = Sessions::State;

// One device: its sessions and what they reported.
struct Device {
    explicit Device(const std::string& key)
        : sessions(key, id.identity, inbox.path().toStdString()) {
        Sessions::Callbacks callbacks;
        callbacks.stateChanged = [this](const std::string& peer, State state) {
            states[peer].push_back(state);
        };
        callbacks.received = [this](const std::string&, std::span<const std::byte> message) {
            messages.push_back(textOf(message));
        };
        callbacks.media = [this](const std::string&, std::span<const std::byte> message) {
            std::lock_guard lock(mediaLock);
            media.push_back(textOf(message));
            if (QThread::currentThread() != QCoreApplication::instance()->thread()) ++datagrams;
        };
        callbacks.wanted = [this](const std::string&, const std::string&, std::uint64_t) {
            return wantResources;
        };
        callbacks.resource = [this](const std::string&, const std::string& name,
                                    const std::filesystem::path& file) {
            QFile in(QString::fromStdString(file.string()));
            if (in.open(QIODevice::ReadOnly)) resources[name] = in.readAll().toStdString();
        };
        sessions.setCallbacks(std::move(callbacks));
        port = sessions.listen();
    }

    std::size_t mediaCount() {
        std::lock_guard lock(mediaLock);
        return media.size();
    }

    TestIdentity id;
    QTemporaryDir inbox;
    Sessions sessions;
    std::uint16_t port = 0;
    std::map<std::string, std::vector<State>> states;
    std::vector<std::string> messages;
    std::map<std::string, std::string> resources;
    bool wantResources = true;
    std::mutex mediaLock;
    std::vector<std::string> media;
    std::atomic<int> datagrams = 0;
};

// A stranger that speaks TLS to a device and then whatever a test makes it say.
// `from` is the loopback address it comes from, as if another machine; `as`,
// a certificate it took from a device.
struct RawPeer {
    explicit RawPeer(std::uint16_t port, const char* from = "127.0.0.1",
                     const TestIdentity* as = nullptr) {
        const LanIdentity& own = (as ? as : &id)->identity;
        configureTls(socket, own.certificate, own.key);
        QObject::connect(&socket, &QAbstractSocket::disconnected, [this] { closed = true; });
        socket.bind(QHostAddress(QString::fromLatin1(from)));
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    }
    bool encrypted() {
        return spinFor([this] { return socket.isEncrypted() || closed; }) && socket.isEncrypted();
    }
    void frame(const std::string& body) {
        const auto n = static_cast<std::uint32_t>(body.size());
        const char prefix[4] = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
        socket.write(prefix, 4);
        socket.write(body.data(), static_cast<qint64>(body.size()));
    }
    bool closedWithin(int ms) {
        return spinFor(
            [this] { return closed || socket.state() == QAbstractSocket::UnconnectedState; }, ms);
    }

    TestIdentity id;
    QSslSocket socket;
    bool closed = false;
};

std::string sessionHello(const std::string& key) {
    return R"({"key":")" + key +
           R"(","use":"session","port":1,"udp":1,"sid":"00000000000000ab",)"
           R"("mk":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="})";
}

constexpr const char* kUuid = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";

class LanSessions : public ::testing::Test {
protected:
    QuickLanTimings quick_;
};

bool connectedBoth(Device& a, Device& b, const std::string& aKey, const std::string& bKey) {
    return spinFor([&] { return a.sessions.isConnected(bKey) && b.sessions.isConnected(aKey); });
}

}  // namespace

TEST_F(LanSessions, InvitingEachOtherAtOnceLeavesOneSessionEachWayThatCarriesEverything) {
    Device a("m-aaaaaaaa"), b("m-bbbbbbbb");
    ASSERT_NE(a.port, 0);
    a.sessions.invite("m-bbbbbbbb", "127.0.0.1", b.port);
    b.sessions.invite("m-aaaaaaaa", "127.0.0.1", a.port);
    ASSERT_TRUE(connectedBoth(a, b, "m-aaaaaaaa", "m-bbbbbbbb"));
    // Both ends keep the same one and close the spare without a word.
    ASSERT_TRUE(spinFor([&] {
        return a.sessions.openSessions("m-bbbbbbbb") == 1 &&
               b.sessions.openSessions("m-aaaaaaaa") == 1;
    }));
    spinAWhile(300);
    EXPECT_EQ(a.states["m-bbbbbbbb"], (std::vector{State::connecting, State::connected}));
    EXPECT_EQ(b.states["m-aaaaaaaa"], (std::vector{State::connecting, State::connected}));

    // Inviting a connected device does nothing.
    a.sessions.invite("m-bbbbbbbb", "127.0.0.1", b.port);
    spinAWhile(100);
    EXPECT_EQ(a.states["m-bbbbbbbb"].size(), 2u);

    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(a.sessions.send("m-bbbbbbbb", bytesOf(kinded(1, std::to_string(i)))));
    ASSERT_TRUE(b.sessions.send("m-aaaaaaaa", bytesOf(kinded(1, "back"))));
    ASSERT_TRUE(spinFor([&] { return b.messages.size() == 50 && a.messages.size() == 1; }));
    for (int i = 0; i < 50; ++i) EXPECT_EQ(b.messages[i], kinded(1, std::to_string(i)));

    // Media crosses on the stream at once, and as datagrams once they are heard.
    ASSERT_TRUE(spinFor([&] {
        a.sessions.sendMedia("m-bbbbbbbb", bytesOf(kinded(2, "voice")));
        spinAWhile(20);
        return b.datagrams > 0;
    }));
    EXPECT_EQ(b.media.front(), kinded(2, "voice"));

    // A resource on a connection of its own, whole.
    QTemporaryDir dir;
    std::string content(300'000, 'x');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    const std::string path = writeFile(dir, "photo", content);
    const std::string name = std::string("file-") + kUuid;
    ASSERT_TRUE(a.sessions.sendResource("m-bbbbbbbb", name, path));
    ASSERT_TRUE(spinFor([&] { return b.resources.contains(name); }));
    EXPECT_EQ(b.resources[name], content);
    EXPECT_FALSE(a.sessions.sendResource("m-bbbbbbbb", "../file", path));

    // The other end going away is reported once, at once.
    b.sessions.disconnectAll();
    ASSERT_TRUE(spinFor([&] { return !a.sessions.isConnected("m-bbbbbbbb"); }, 2000));
    EXPECT_EQ(a.states["m-bbbbbbbb"].back(), State::notConnected);
}

TEST_F(LanSessions, StrangersThatBreakTheRulesAreCutOffAndTheDeviceStillServes) {
    Device a("m-aaaaaaaa");

    {  // a length prefix of 4 GB
        RawPeer peer(a.port);
        ASSERT_TRUE(peer.encrypted());
        peer.socket.write("\xff\xff\xff\xff", 4);
        EXPECT_TRUE(peer.closedWithin(1000));
    }
    {  // a frame that stops half way, or nothing at all
        RawPeer slow(a.port), silent(a.port);
        ASSERT_TRUE(slow.encrypted());
        ASSERT_TRUE(silent.encrypted());
        slow.socket.write("\x00\x00", 2);
        EXPECT_TRUE(slow.closedWithin(2000));
        EXPECT_TRUE(silent.closedWithin(8000));
    }
    {  // names that are not keys, or this device's own
        RawPeer bad(a.port), own(a.port), notJson(a.port);
        ASSERT_TRUE(bad.encrypted() && own.encrypted() && notJson.encrypted());
        bad.frame(sessionHello("../../etc"));
        own.frame(sessionHello("m-aaaaaaaa"));
        notJson.frame("{\"key\":");
        EXPECT_TRUE(bad.closedWithin(1000));
        EXPECT_TRUE(own.closedWithin(1000));
        EXPECT_TRUE(notJson.closedWithin(1000));
    }
    {  // a resource from a device not in session
        RawPeer peer(a.port);
        ASSERT_TRUE(peer.encrypted());
        peer.frame(std::string(R"({"key":"m-cccccccc","use":"resource","name":"file-)") + kUuid +
                   R"(","size":3})");
        EXPECT_TRUE(peer.closedWithin(1000));
    }
    // A device that proved a number, then someone else with its key.
    Device b("m-bbbbbbbb");
    b.sessions.invite("m-aaaaaaaa", "127.0.0.1", a.port);
    ASSERT_TRUE(connectedBoth(a, b, "m-aaaaaaaa", "m-bbbbbbbb"));
    a.sessions.setProven("m-bbbbbbbb");
    {
        RawPeer impostor(a.port);
        ASSERT_TRUE(impostor.encrypted());
        impostor.frame(sessionHello("m-bbbbbbbb"));
        EXPECT_TRUE(impostor.closedWithin(1000));
    }
    {  // a key only seen so far goes to the next certificate that claims it
        RawPeer first(a.port), second(a.port);
        ASSERT_TRUE(first.encrypted() && second.encrypted());
        first.frame(sessionHello("m-dddddddd"));
        ASSERT_TRUE(spinFor([&] { return a.sessions.isConnected("m-dddddddd"); }));
        second.frame(sessionHello("m-dddddddd"));
        EXPECT_TRUE(first.closedWithin(1000));
        EXPECT_EQ(a.sessions.peerFingerprint("m-dddddddd"), second.id.identity.fingerprint);
    }
    {  // a resource with a bad name, or too big, even from that device's certificate
        auto resourceFromB = [&](const std::string& name, std::uint64_t size) {
            RawPeer peer(a.port, "127.0.0.1", &b.id);
            if (!peer.encrypted()) return false;
            peer.frame(R"({"key":"m-bbbbbbbb","use":"resource","name":")" + name + R"(","size":)" +
                       std::to_string(size) + "}");
            peer.socket.write("abc", 3);
            return peer.closedWithin(3000);
        };
        EXPECT_TRUE(resourceFromB("../../file", 3));
        EXPECT_TRUE(resourceFromB(std::string("file-") + kUuid + "/x", 3));
        EXPECT_TRUE(resourceFromB(std::string("file-") + kUuid, kMaxFileResource + 1));
        EXPECT_TRUE(
            resourceFromB(std::string("snap-") + kUuid + ".json", kMaxSnapshotResource + 1));
        EXPECT_TRUE(a.resources.empty());
    }
    EXPECT_TRUE(a.sessions.isConnected("m-bbbbbbbb"));

    // A flood of connections from one address is held to the bound on
    // unnamed ones; the session carries on.
    std::vector<std::unique_ptr<QTcpSocket>> flood;
    for (int i = 0; i < 300; ++i) {
        flood.push_back(std::make_unique<QTcpSocket>());
        flood.back()->connectToHost(QStringLiteral("127.0.0.1"), a.port);
    }
    std::size_t most = 0;
    spinFor(
        [&] {
            most = std::max(most, a.sessions.connectionCount());
            return false;
        },
        1000);
    EXPECT_GT(most, 1u);
    EXPECT_LE(most, 1 + kMaxUnnamedPerAddress);
    ASSERT_TRUE(b.sessions.send("m-aaaaaaaa", bytesOf(kinded(1, "still here"))));
    ASSERT_TRUE(spinFor([&] { return !a.messages.empty(); }));
    EXPECT_EQ(a.messages.back(), kinded(1, "still here"));
    flood.clear();
}

TEST_F(LanSessions, StrangersGetFewSessionsAndInvitationsAndOnlyUntilTheyProveNothing) {
    Timings t = timings();
    t.lanProof = std::chrono::milliseconds(6000);
    t.lanIdle = std::chrono::milliseconds(60'000);  // only the proof timer closes
    setTimings(t);
    Device a("m-aaaaaaaa");

    // Strangers on one machine, all at once: four sessions, the rest refused.
    std::vector<std::unique_ptr<RawPeer>> strangers;
    for (int i = 0; i < 8; ++i) strangers.push_back(std::make_unique<RawPeer>(a.port, "127.0.0.2"));
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(strangers[i]->encrypted());
        strangers[i]->frame(sessionHello("m-strange" + std::string(1, char('a' + i))));
    }
    auto open = [&] {
        return static_cast<std::size_t>(std::count_if(strangers.begin(), strangers.end(),
                                                      [](const auto& s) { return !s->closed; }));
    };
    EXPECT_TRUE(spinFor([&] { return open() == kMaxUnprovenPerAddress; }, 3000));
    spinAWhile(200);
    EXPECT_EQ(open(), kMaxUnprovenPerAddress);

    // A device from elsewhere still gets in; once proven it stays, while the
    // strangers, proving nothing, are closed.
    Device b("m-bbbbbbbb");
    ASSERT_TRUE(b.sessions.invite("m-aaaaaaaa", "127.0.0.1", a.port));
    ASSERT_TRUE(connectedBoth(a, b, "m-aaaaaaaa", "m-bbbbbbbb"));
    a.sessions.setProven("m-bbbbbbbb");
    b.sessions.setProven("m-aaaaaaaa");
    EXPECT_TRUE(spinFor([&] { return open() == 0u; }, 12'000));
    spinAWhile(300);
    EXPECT_TRUE(a.sessions.isConnected("m-bbbbbbbb"));

    // Devices that take a connection and never answer hold only so many
    // invitations at once.
    QTcpServer tarpit;
    ASSERT_TRUE(tarpit.listen(QHostAddress::LocalHost));
    int invited = 0;
    for (int i = 0; i < 40; ++i) {
        char key[16];
        std::snprintf(key, sizeof key, "m-t%07d", i);
        invited += a.sessions.invite(key, "127.0.0.1", tarpit.serverPort()) ? 1 : 0;
    }
    EXPECT_EQ(invited, static_cast<int>(kStrangerInvitations));
}

TEST_F(LanSessions, HalfSentMessagesAndDrippingTransfersCannotHoldTheDevice) {
    Timings t = timings();
    t.lanStall = std::chrono::milliseconds(30'000);  // only the budget cuts
    t.lanIdle = std::chrono::milliseconds(60'000);
    setTimings(t);
    Device a("m-aaaaaaaa"), b("m-bbbbbbbb");
    ASSERT_TRUE(b.sessions.invite("m-aaaaaaaa", "127.0.0.1", a.port));
    ASSERT_TRUE(connectedBoth(a, b, "m-aaaaaaaa", "m-bbbbbbbb"));
    a.sessions.setProven("m-bbbbbbbb");

    // Strangers from several machines each start a message of the largest
    // size and stop 100 KB short: together more than the device holds.
    std::vector<std::unique_ptr<RawPeer>> strangers;
    const std::string half(kMaxFrame - 100'000, 'h');
    const auto length = static_cast<std::uint32_t>(kMaxFrame);
    const char prefix[4] = {char(length >> 24), char(length >> 16), char(length >> 8),
                            char(length)};
    for (int i = 0; i < 18; ++i) {
        const std::string from = "127.0.0." + std::to_string(3 + i / 4);
        strangers.push_back(std::make_unique<RawPeer>(a.port, from.c_str()));
        RawPeer& s = *strangers.back();
        ASSERT_TRUE(s.encrypted());
        s.frame(sessionHello("m-half000" + std::string(1, char('a' + i))));
        s.socket.write(prefix, 4);
        s.socket.write(half.data(), static_cast<qint64>(half.size()));
    }
    const auto cut = [&] {
        return std::count_if(strangers.begin(), strangers.end(),
                             [](const auto& s) { return s->closed; });
    };
    EXPECT_TRUE(spinFor([&] { return cut() >= 2; }, 20'000));
    EXPECT_GE(strangers.size() - static_cast<std::size_t>(cut()), 8u);

    // A transfer that drips a byte now and then is cut, and frees its slot.
    RawPeer drip(a.port, "127.0.0.1", &b.id);
    ASSERT_TRUE(drip.encrypted());
    drip.frame(R"({"key":"m-bbbbbbbb","use":"resource","name":"file-)" + std::string(kUuid) +
               R"(","size":20000000})");
    EXPECT_TRUE(spinFor(
        [&] {
            drip.socket.write("x", 1);
            spinAWhile(100);
            return drip.closed;
        },
        3000));

    // A file the other end refused at first is offered again, and the
    // device's own messages got through all along.
    QTemporaryDir dir;
    const std::string path = writeFile(dir, "note", "second time lucky");
    a.wantResources = false;
    const std::string name = std::string("file-") + kUuid;
    ASSERT_TRUE(b.sessions.sendResource("m-aaaaaaaa", name, path));
    spinAWhile(150);
    a.wantResources = true;
    ASSERT_TRUE(spinFor([&] { return a.resources.contains(name); }, 3000));
    EXPECT_EQ(a.resources[name], "second time lucky");
    ASSERT_TRUE(b.sessions.send("m-aaaaaaaa", bytesOf(kinded(1, "still here"))));
    ASSERT_TRUE(spinFor([&] { return !a.messages.empty(); }));
}

TEST(LanMediaSocket, OnlyAuthenticFreshDatagramsOfAKnownSessionGetThrough) {
    std::mutex lock;
    std::vector<std::string> got;
    std::atomic<int> heard = 0;
    MediaSocket socket({.message =
                            [&](const std::string& peer, std::span<const std::byte> message) {
                                std::lock_guard guard(lock);
                                got.push_back(peer + ":" + textOf(message));
                            },
                        .heard =
                            [&](std::uint64_t) {
                                ++heard;
                            }});
    ASSERT_NE(socket.port(), 0);
    const std::uint64_t id = newSessionId();
    const SessionKey key = newSessionKey();
    socket.addInbound(id, key, "m-bbbbbbbb");
    MediaSocket sender({});
    const std::uint32_t loopback = 0x7f000001;

    DatagramSealer right(id, key), wrongKey(id, newSessionKey()), otherSession(newSessionId(), key);
    ASSERT_TRUE(sender.send(wrongKey, loopback, socket.port(), bytesOf("forged")));
    ASSERT_TRUE(sender.send(otherSession, loopback, socket.port(), bytesOf("stray")));
    ASSERT_TRUE(sender.send(right, loopback, socket.port(), {}));  // a probe: heard, not handed on
    ASSERT_TRUE(sender.send(right, loopback, socket.port(), bytesOf("one")));
    ASSERT_TRUE(sender.send(right, loopback, socket.port(), bytesOf("two")));
    ASSERT_TRUE(spinFor([&] {
        std::lock_guard guard(lock);
        return got.size() >= 2;
    }));
    spinAWhile(50);
    {
        std::lock_guard guard(lock);
        EXPECT_EQ(got, (std::vector<std::string>{"m-bbbbbbbb:one", "m-bbbbbbbb:two"}));
    }
    EXPECT_EQ(heard, 1);

    // A removed session's datagrams go nowhere.
    socket.removeInbound(id);
    ASSERT_TRUE(sender.send(right, loopback, socket.port(), bytesOf("late")));
    spinAWhile(50);
    std::lock_guard guard(lock);
    EXPECT_EQ(got.size(), 2u);
}
