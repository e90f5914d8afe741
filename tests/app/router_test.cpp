// Which devices and paths the router picks, and the "either path took it"
// rule, against recording transports.
#include <thread>

#include "app/router.h"
#include "model_fixture.h"
#include "wire/base64.h"
#include "wire/envelope_builders.h"

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

class Routing : public ::testing::Test {
protected:
    FakeLan lan;
    FakeLine line;
    Router router{lan, line};
    const wire::Envelope record = wire::deliveredEnvelope(Uuid::random(), kAlice);
};

TEST_F(Routing, EitherPathTakingARecordCounts) {
    EXPECT_FALSE(router.send(record, kAlice));  // nobody near, line closed
    EXPECT_EQ(line.sent.size(), 1u);            // still offered to the line

    line.accepts = true;
    EXPECT_TRUE(router.send(record, kAlice));
    line.accepts = false;
    lan.connected = {{"alice-phone", kAlice}, {"bob-mac", kBob}};
    EXPECT_TRUE(router.send(record, kAlice));
    EXPECT_EQ(lan.envelopes.back().second, std::vector<std::string>{"alice-phone"});
}

TEST_F(Routing, CopiesGoToOurOtherDevicesOnce) {
    lan.connected = {{"alice-phone", kAlice}, {"my-tablet", kOwn}};
    EXPECT_TRUE(router.sendWithOwnCopies(record, kAlice, kOwn));
    EXPECT_EQ(lan.envelopes.back().second, (std::vector<std::string>{"alice-phone", "my-tablet"}));
    // Writing to our own number reaches each of our devices once.
    router.sendWithOwnCopies(record, kOwn, kOwn);
    EXPECT_EQ(lan.envelopes.back().second, std::vector<std::string>{"my-tablet"});
}

TEST_F(Routing, AnAnswerPrefersTheAskingDeviceWhileItIsConnected) {
    lan.connected = {{"alice-phone", kAlice}, {"alice-mac", kAlice}};
    router.sendToDevice(record, kAlice, std::string("alice-mac"));
    EXPECT_EQ(lan.envelopes.back().second, std::vector<std::string>{"alice-mac"});
    lan.connected.erase("alice-mac");
    router.sendToDevice(record, kAlice, std::string("alice-mac"));
    EXPECT_EQ(lan.envelopes.back().second, std::vector<std::string>{"alice-phone"});
}

TEST_F(Routing, MediaTakesOnePathFollowingTheLanSessionAndStopsWithTheRoute) {
    const wire::Bytes chunk(640, std::byte{3});
    lan.connected = {{"alice-phone", kAlice}, {"alice-mac", kAlice}};
    router.sendAudio(chunk);
    EXPECT_TRUE(lan.media.empty());
    EXPECT_TRUE(line.audio.empty());

    // In session with the call's device: the LAN alone carries the call.
    router.routeMedia(kAlice, std::string("alice-mac"));
    router.sendAudio(chunk);
    router.sendVideo(chunk);
    EXPECT_TRUE(line.audio.empty());
    EXPECT_TRUE(line.frames.empty());
    ASSERT_EQ(lan.media.size(), 2u);
    EXPECT_EQ(lan.media[1],
              std::make_pair(wire::FrameKind::video, std::vector<std::string>{"alice-mac"}));

    // The call's device left the LAN: another device of the number in
    // session still takes it; with none, the relay takes the next chunk.
    lan.connected.erase("alice-mac");
    router.sendAudio(chunk);
    EXPECT_EQ(lan.media.back().second, std::vector<std::string>{"alice-phone"});
    lan.connected.clear();
    router.sendAudio(chunk);
    router.sendVideo(chunk);
    EXPECT_EQ(
        line.audio,
        (std::vector<std::pair<std::string, std::string>>{{kAlice, wire::encodeBase64(chunk)}}));
    ASSERT_EQ(line.frames.size(), 1u);
    EXPECT_EQ(line.frames[0],
              std::make_pair(wire::FrameKind::video, std::optional<std::string>(kAlice)));
    EXPECT_EQ(lan.media.size(), 3u);

    // The session is back: so is the LAN, and the relay hears no more.
    lan.connected = {{"alice-mac", kAlice}};
    router.sendAudio(chunk);
    EXPECT_EQ(lan.media.size(), 4u);
    EXPECT_EQ(line.audio.size(), 1u);

    router.routeMedia(std::nullopt);
    router.sendAudio(chunk);
    EXPECT_EQ(lan.media.size(), 4u);
    EXPECT_EQ(line.audio.size(), 1u);
}

TEST_F(Routing, WalkieClipsTakeOnePathToTheNumberTalkedTo) {
    const wire::Bytes chunk(640, std::byte{5});
    router.sendWalkie(chunk);  // no talk
    router.setTalkTo(kAlice);
    router.sendWalkie(chunk);
    ASSERT_EQ(line.frames.size(), 1u);
    EXPECT_EQ(line.frames[0],
              std::make_pair(wire::FrameKind::walkie, std::optional<std::string>(kAlice)));
    lan.connected = {{"alice-phone", kAlice}, {"bob-mac", kBob}};
    router.sendWalkie(chunk);
    EXPECT_EQ(line.frames.size(), 1u);
    ASSERT_EQ(lan.media.size(), 1u);
    EXPECT_EQ(lan.media[0],
              std::make_pair(wire::FrameKind::walkie, std::vector<std::string>{"alice-phone"}));
    router.setTalkTo(std::nullopt);
    router.sendWalkie(chunk);
    EXPECT_EQ(lan.media.size(), 1u);
}

class EventHop : public ModelTest {
protected:
    void SetUp() override { start(); }
};

TEST_F(EventHop, AnEventOnTheMainThreadIsHandledAtOnceFromElsewhereOnTheNextTurn) {
    line->callbacks.handler(text(kAlice, "from the line"));
    EXPECT_TRUE(threadOf(kAlice));  // no turn of the loop needed

    std::thread([&] { lan->handler(text(kBob, "from a LAN thread")); }).join();
    EXPECT_FALSE(threadOf(kBob));
    QCoreApplication::processEvents();
    EXPECT_TRUE(threadOf(kBob));
}

}  // namespace
