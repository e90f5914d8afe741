// Linking a second device to a number: merrowfax-cli processes on a private
// Avahi (loopback only) and the real relay. Ann's number has a PIN; her
// second device joins by the code she shows and then works through the
// relay without it, until Ann unlinks it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QTemporaryDir>

#include <fstream>
#include <string>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "cli_helpers.h"
#include "support/avahi_server.h"
#include "support/ws_client.h"

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
    if (!account.IsObject() || !account["linkedDevices"].IsArray()) return false;
    for (const Value& d : account["linkedDevices"].GetArray()) {
        if (str(d["id"]) == deviceId) return true;
    }
    return false;
}

// A message with that text in the chat with `number`, sent by "me" or "them".
bool hasMessage(CliProcess& cli, const std::string& number, const std::string& text,
                const std::string& sender) {
    for (const auto& m : messages(cli, number)) {
        if (str(m["text"]) == text && str(m["sender"]) == sender) return true;
    }
    return false;
}

// What a failed link leaves to look at: the status and the devices seen.
std::string linkingText(CliProcess& cli) {
    const auto s = state(cli);
    if (!s.IsObject()) return "no state";
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    s["lanPeers"].Accept(writer);
    return str(s["linkStatus"]) + " " + buffer.GetString();
}

std::string deviceIdOf(CliProcess& cli) {
    return str(state(cli)["deviceId"]);
}

std::size_t callCount(CliProcess& cli) {
    const auto s = state(cli);
    return s.IsObject() && s["calls"].IsArray() ? s["calls"].Size() : 0;
}

class DeviceLink : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
        if (!AvahiServer::available()) GTEST_SKIP() << "avahi-daemon or dbus-daemon is missing";
        avahi_.emplace();
        const std::string quiet = writeTone(dir_, "quiet.wav", 440, 0, 2);
        const std::string out = dir_.path().toStdString();
        ann_.emplace(relay_, fileDevices(quiet, out + "/ann-out.wav"));
        annNumber_ = newNumber(*ann_, "Ann", 1);
    }

    std::string hostCode() {
        auto reply = ann_->command(R"({"cmd":"hostLinkCode"})");
        EXPECT_TRUE(ok(reply));
        return str(reply["code"]);
    }

    QTemporaryDir dir_;
    std::optional<AvahiServer> avahi_;
    RelayProcess relay_;
    std::optional<CliProcess> ann_;
    std::string annNumber_;
};

TEST_F(DeviceLink, ASecondDeviceJoinsByCodeWorksThroughTheRelayAndIsUnlinked) {
    const std::string quiet = writeTone(dir_, "quiet2.wav", 440, 0, 2);
    CliProcess carl(relay_, fileDevices(quiet, dir_.path().toStdString() + "/carl-out.wav"));
    const std::string carlNumber = newNumber(carl, "Carl", 2);
    // Ann's chats, contacts and calls before the link.
    ASSERT_TRUE(ok(
        ann_->command(R"({"cmd":"addContact","name":"Carl","number":")" + carlNumber + R"("})")));
    ASSERT_TRUE(
        ok(ann_->command(R"({"cmd":"sendText","to":")" + carlNumber + R"(","text":"before"})")));
    ann_->mark();
    ASSERT_TRUE(ok(carl.command(R"({"cmd":"startCall","to":")" + annNumber_ + R"("})")));
    ASSERT_TRUE(ann_->waitForChange("incoming", [](const Value& v) { return v.IsObject(); }));
    ASSERT_TRUE(ok(ann_->command(R"({"cmd":"decline"})")));
    ASSERT_TRUE(spinUntil([&] { return callCount(*ann_) == 1; }, kCrossing));

    // The second device searches at the program's own pace: its 20 s search
    // outlasts a first Avahi resolve.
    CliProcess pad(relay_, {}, CliProcess::Pace::Real);
    const std::string code = hostCode();
    ASSERT_EQ(code.size(), 6u);
    EXPECT_EQ(str(state(*ann_)["hostedLinkCode"]), code);
    std::string typed = code.substr(0, 3) + "-" + code.substr(3);
    for (char& c : typed) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto linked = pad.command(R"({"cmd":"seekLinkCode","code":")" + typed + "\"}", kFound);
    ASSERT_TRUE(ok(linked)) << "pad: " << linkingText(pad) << "\nAnn: " << linkingText(*ann_);
    EXPECT_EQ(str(linked["number"]), annNumber_);

    // A companion of Ann's number, with her data; each lists the other.
    const std::string padId = deviceIdOf(pad);
    const std::string annId = deviceIdOf(*ann_);
    EXPECT_TRUE(accountOf(state(pad))["isCompanion"].IsTrue());
    ASSERT_TRUE(spinUntil([&] { return hasMessage(pad, carlNumber, "before", "me"); }, kCrossing))
        << "pad: " << linkingText(pad) << "\nAnn: " << linkingText(*ann_);
    EXPECT_EQ(state(pad)["contacts"].Size(), 1u);
    EXPECT_EQ(callCount(pad), 1u);
    EXPECT_TRUE(listsDevice(pad, annId));
    EXPECT_FALSE(listsDevice(pad, padId));
    EXPECT_TRUE(spinUntil([&] { return listsDevice(*ann_, padId); }, kCrossing));
    EXPECT_TRUE(spinUntil([&] { return str(state(*ann_)["linkStatus"]).ends_with(" is linked."); },
                          kCrossing));
    EXPECT_TRUE(state(*ann_)["hostedLinkCode"].IsNull());

    // Registered without the PIN: texts to the number reach both devices.
    ASSERT_TRUE(spinUntil([&] { return state(pad)["hasPin"].IsTrue(); }, kCrossing))
        << "the relay did not take the companion";
    ASSERT_TRUE(
        ok(carl.command(R"({"cmd":"sendText","to":")" + annNumber_ + R"(","text":"to both"})")));
    EXPECT_TRUE(
        spinUntil([&] { return hasMessage(pad, carlNumber, "to both", "them"); }, kCrossing));
    EXPECT_TRUE(
        spinUntil([&] { return hasMessage(*ann_, carlNumber, "to both", "them"); }, kCrossing));

    // Proven on the LAN with its own statement, its text shows on Ann's
    // device as her own.
    ASSERT_TRUE(spinUntil(
        [&] {
            const auto s = state(*ann_);
            for (const Value& peer : s["lanPeers"].GetArray()) {
                if (str(peer["number"]) == annNumber_ && peer["connected"].IsTrue()) return true;
            }
            return false;
        },
        kFound));
    ASSERT_TRUE(ok(
        pad.command(R"({"cmd":"sendText","to":")" + carlNumber + R"(","text":"from the pad"})")));
    EXPECT_TRUE(
        spinUntil([&] { return hasMessage(carl, annNumber_, "from the pad", "them"); }, kCrossing));
    EXPECT_TRUE(
        spinUntil([&] { return hasMessage(*ann_, carlNumber, "from the pad", "me"); }, kCrossing));

    // Unlinked from Ann: the pad is erased and the relay no longer takes its
    // computer without the PIN.
    std::ifstream idFile(pad.folder().toStdString() + "/computer-id");
    std::string computer;
    std::getline(idFile, computer);
    ASSERT_FALSE(computer.empty());
    ASSERT_TRUE(ok(ann_->command(R"({"cmd":"unlinkDevice","id":")" + padId + "\"}")));
    EXPECT_TRUE(spinUntil([&] { return accountOf(state(pad)).IsNull(); }, kCrossing));
    EXPECT_FALSE(listsDevice(*ann_, padId));
    pause(300);  // the untrust is stored
    WsClient again(relay_.port(), "/merrowfax/live?number=" + annNumber_ +
                                      "&name=Ann&device=Mac&computer=" + computer);
    EXPECT_TRUE(again.waitFor("denied")) << "an unlinked computer came back";
}

TEST_F(DeviceLink, AWrongCodeFindsNothingAndLinksNothing) {
    CliProcess pad(relay_);  // a 1 s search
    const std::string code = hostCode();
    const std::string wrong = code == "ABC234" ? "ABC235" : "ABC234";
    auto reply = pad.command(R"({"cmd":"seekLinkCode","code":")" + wrong + "\"}", kFound);
    EXPECT_FALSE(ok(reply));
    EXPECT_EQ(str(reply["error"]), "No Merrowfax with that code is on this Wi-Fi.");
    auto shortCode = pad.command(R"({"cmd":"seekLinkCode","code":"ab-c1"})");
    EXPECT_EQ(str(shortCode["error"]), "Enter the 6 character code from the other Merrowfax.");
    pause(1500);  // the wrong code had every chance to reach Ann
    EXPECT_TRUE(accountOf(state(pad)).IsNull());
    EXPECT_EQ(str(state(*ann_)["hostedLinkCode"]), code);
    EXPECT_EQ(accountOf(state(*ann_))["linkedDevices"].Size(), 0u);
}

}  // namespace
