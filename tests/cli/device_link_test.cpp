// Linking a second device to a number: merrowfax-cli processes on a private
// Avahi (loopback only) and the real relay. Ann's number has a PIN; her pad
// joins by the code she shows, then works through the relay without it
// until Ann unlinks it. A device that proved nothing changes nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QTemporaryDir>

#include <fstream>
#include <string>

#include "base/uuid.h"
#include "cli_helpers.h"
#include "support/avahi_server.h"
#include "support/ws_client.h"
#include "transport/avahi_discovery.h"
#include "transport/lan_sessions.h"
#include "transport/lan_test_support.h"
#include "wire/envelope_builders.h"
#include "wire/envelope_json.h"
#include "wire/frames.h"

using namespace merrowfax;
using namespace merrowfax::testing;
using rapidjson::Value;

namespace {

// A first Avahi resolve takes most of a second, then the TLS session.
constexpr int kFound = 15000;
constexpr int kCrossing = 5000;

const Value& accountOf(const Value& state) {
    static const Value none;
    return state.IsObject() && state.HasMember("account") ? state["account"] : none;
}

bool listsDevice(CliProcess& cli, const std::string& deviceId) {
    const auto s = state(cli);
    const Value& account = accountOf(s);
    if (!account.IsObject()) return false;
    for (const Value& d : account["linkedDevices"].GetArray())
        if (str(d["id"]) == deviceId) return true;
    return false;
}

// A message with that text in the chat with `number`, sent by "me" or "them".
bool hasMessage(CliProcess& cli, const std::string& number, const std::string& text,
                const std::string& sender) {
    return spinUntil(
        [&] {
            for (const auto& m : messages(cli, number))
                if (str(m["text"]) == text && str(m["sender"]) == sender) return true;
            return false;
        },
        kCrossing);
}

bool says(CliProcess& cli, const std::string& command) {
    return ok(cli.command(command));
}

// A device on the network that has proved nothing: sessions and no more.
struct Stranger {
    TestIdentity id;
    QTemporaryDir inbox;
    lan::Sessions sessions{"m-5A5A5A5A", id.identity, inbox.path().toStdString()};
    std::string peer;

    std::vector<std::string> heard;

    Stranger() {
        lan::Sessions::Callbacks callbacks;
        callbacks.received = [this](const std::string&, std::span<const std::byte> m) {
            heard.emplace_back(reinterpret_cast<const char*>(m.data()), m.size());
        };
        sessions.setCallbacks(std::move(callbacks));
        sessions.listen();
    }
    // Finds the device with `key` through Avahi and opens a session with it.
    bool reach(const std::string& key) {
        AvahiDiscovery discovery;
        std::optional<Discovery::Service> found;
        discovery.setCallbacks({[&](const Discovery::Service& s) {
                                    if (s.name.starts_with(key)) found = s;
                                },
                                [](const std::string&) {
                                }});
        discovery.browse(true);
        peer = key;
        return spinUntil([&] { return found.has_value(); }, kFound) &&
               sessions.invite(key, "127.0.0.1", found->port) &&
               spinUntil([&] { return sessions.isConnected(key); }, kCrossing);
    }
    bool say(const wire::Envelope& envelope) {
        const std::string json = *wire::encodeEnvelope(envelope);
        return sessions.send(peer, wire::encodeLanFrame(wire::FrameKind::envelope, bytesOf(json)));
    }
    // A snapshot that would make Mallory a contact.
    bool push(const QTemporaryDir& dir) {
        const std::string file = writeFile(dir, "mallory.json",
                                           R"({"contacts":[{"id":")" + Uuid::random().text() +
                                               R"(","name":"Mallory","number":"0-1-234-5678"}],)"
                                               R"("threads":[],"calls":[],"directory":{},)"
                                               R"("linked":[]})");
        return sessions.sendResource(peer, "snap-" + Uuid::random().text() + ".json", file);
    }
};

class DeviceLink : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
        if (!AvahiServer::available()) GTEST_SKIP() << "avahi-daemon or dbus-daemon is missing";
        avahi_.emplace();
        ann_.emplace(relay_, fileDevices(quiet_, dir_.path().toStdString() + "/ann-out.wav"));
        annNumber_ = newNumber(*ann_, "Ann", 1);
    }
    std::string hostCode() { return str(ann_->command(R"({"cmd":"hostLinkCode"})")["code"]); }

    QTemporaryDir dir_;
    const std::string quiet_ = writeTone(dir_, "quiet.wav", 440, 0, 2);
    std::optional<AvahiServer> avahi_;
    RelayProcess relay_;
    std::optional<CliProcess> ann_;
    std::string annNumber_;
};

TEST_F(DeviceLink, ASecondDeviceJoinsByCodeWorksThroughTheRelayAndIsUnlinked) {
    CliProcess carl(relay_, fileDevices(quiet_, dir_.path().toStdString() + "/carl-out.wav"));
    const std::string carlNumber = newNumber(carl, "Carl", 2);
    const std::string toCarl = R"({"cmd":"sendText","to":")" + carlNumber + R"(","text":")";
    // Ann's contact, chat and call before the link.
    ASSERT_TRUE(
        says(*ann_, R"({"cmd":"addContact","name":"Carl","number":")" + carlNumber + R"("})"));
    ASSERT_TRUE(says(*ann_, toCarl + R"(before"})"));
    ann_->mark();
    ASSERT_TRUE(says(carl, R"({"cmd":"startCall","to":")" + annNumber_ + R"("})"));
    ASSERT_TRUE(ann_->waitForChange("incoming", [](const Value& v) { return v.IsObject(); }));
    ASSERT_TRUE(says(*ann_, R"({"cmd":"decline"})"));
    ASSERT_TRUE(spinUntil([&] { return state(*ann_)["calls"].Size() == 1; }, kCrossing));

    // The pad searches at the program's own pace: 20 s outlast a first resolve.
    CliProcess pad(relay_, {}, CliProcess::Pace::Real);
    std::string typed = hostCode();
    for (char& c : typed) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto linked =
        pad.command(R"({"cmd":"seekLinkCode","code":")" + typed.insert(3, "-") + "\"}", kFound);
    ASSERT_TRUE(ok(linked)) << avahi_->log();
    EXPECT_EQ(str(linked["number"]), annNumber_);

    // A companion with Ann's data; each lists the other.
    const std::string padId = str(state(pad)["deviceId"]);
    EXPECT_TRUE(accountOf(state(pad))["isCompanion"].IsTrue());
    EXPECT_TRUE(hasMessage(pad, carlNumber, "before", "me"));
    EXPECT_EQ(state(pad)["contacts"].Size(), 1u);
    EXPECT_EQ(state(pad)["calls"].Size(), 1u);
    EXPECT_TRUE(listsDevice(pad, str(state(*ann_)["deviceId"])));
    EXPECT_FALSE(listsDevice(pad, padId));
    EXPECT_TRUE(spinUntil([&] { return listsDevice(*ann_, padId); }, kCrossing));
    EXPECT_TRUE(spinUntil([&] { return state(*ann_)["hostedLinkCode"].IsNull(); }, kCrossing))
        << "the pad said it joined";

    // Registered without the PIN: texts to the number reach both devices.
    ASSERT_TRUE(spinUntil([&] { return state(pad)["hasPin"].IsTrue(); }, kCrossing));
    ASSERT_TRUE(says(carl, R"({"cmd":"sendText","to":")" + annNumber_ + R"(","text":"to both"})"));
    EXPECT_TRUE(hasMessage(pad, carlNumber, "to both", "them"));
    EXPECT_TRUE(hasMessage(*ann_, carlNumber, "to both", "them"));

    // Once Ann holds the pad's proof of the number, its text is her own.
    ASSERT_TRUE(spinUntil(
        [&] {
            const auto s = state(*ann_);
            for (const Value& peer : s["lanPeers"].GetArray())
                if (str(peer["number"]) == annNumber_ && peer["connected"].IsTrue()) return true;
            return false;
        },
        kFound));
    ASSERT_TRUE(says(pad, toCarl + R"(from the pad"})"));
    EXPECT_TRUE(hasMessage(carl, annNumber_, "from the pad", "them"));
    EXPECT_TRUE(hasMessage(*ann_, carlNumber, "from the pad", "me"));

    // Unlinked: the pad is erased, and the relay refuses its computer.
    std::ifstream idFile(pad.folder().toStdString() + "/computer-id");
    std::string computer;
    std::getline(idFile, computer);
    ASSERT_TRUE(says(*ann_, R"({"cmd":"unlinkDevice","id":")" + padId + "\"}"));
    EXPECT_TRUE(spinUntil([&] { return accountOf(state(pad)).IsNull(); }, kCrossing));
    const std::string target =
        "/merrowfax/live?number=" + annNumber_ + "&name=Ann&device=Mac&computer=" + computer;
    EXPECT_TRUE(spinUntil(
        [&] { return WsClient(relay_.port(), target).waitFor("denied", 500ms).has_value(); },
        kCrossing))
        << "an unlinked computer came back";
}

TEST_F(DeviceLink, AWrongCodeOrAStrangerLinksNothingPushesNothingAndUnlinksNothing) {
    CliProcess pad(relay_);  // a 1 s search
    const std::string padId = str(state(pad)["deviceId"]);
    const std::string code = hostCode();
    const std::string wrong = code == "ABC234" ? "ABC235" : "ABC234";
    auto reply = pad.command(R"({"cmd":"seekLinkCode","code":")" + wrong + "\"}", kFound);
    EXPECT_EQ(str(reply["error"]), "No Merrowfax with that code is on this Wi-Fi.");

    // Still looking: an account and a snapshot from a device without the code.
    Stranger stranger;
    ASSERT_TRUE(stranger.reach("m-" + padId.substr(0, 8))) << avahi_->log();
    ASSERT_TRUE(stranger.say(
        wire::linkAccountEnvelope("Mallory", "0", 1, 2345678, Uuid::random().text(), "Mac 5A5A")));
    ASSERT_TRUE(stranger.push(dir_));
    pause(1000);
    EXPECT_TRUE(accountOf(state(pad)).IsNull());
    EXPECT_EQ(str(state(*ann_)["hostedLinkCode"]), code);

    // Linked by Ann, the pad takes no snapshot and no "unlink" from it.
    pad.write(R"({"cmd":"seekLinkCode","code":")" + code + "\"}");
    ASSERT_TRUE(spinUntil([&] { return !accountOf(state(pad)).IsNull(); }, kFound));
    ASSERT_TRUE(stranger.push(dir_));
    ASSERT_TRUE(stranger.say(wire::unlinkEnvelope(padId)));
    pause(1000);
    const auto s = state(pad);
    EXPECT_EQ(str(accountOf(s)["displayName"]), "Ann") << "a stranger unlinked the pad";
    EXPECT_EQ(s["contacts"].Size(), 0u) << "a stranger's snapshot was taken";
    for (const std::string& m : stranger.heard)
        EXPECT_EQ(m.find("link-hello"), std::string::npos) << "the pad's identity went to it";
}

}  // namespace
