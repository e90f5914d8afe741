// Calls between devices through the real relay service: the signals, the
// records on both sides and the audio that starts when a call connects.
#include <gtest/gtest.h>

#include "device.h"
#include "platform/timings.h"
#include "support/ws_client.h"
#include "wire/base64.h"
#include "wire/frames.h"

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

constexpr const char* kAnn = "0-1-234-5678";
constexpr const char* kBen = "44-1-555-0001";
constexpr const char* kCat = "1-1-222-2222";
constexpr const char* kNobody = "1-1-333-3333";

class CallsThroughTheRelay : public ::testing::Test {
protected:
    RelayProcess relay;

    // Registered, so the service routes calls to each of them.
    static void allRegistered(std::initializer_list<Device*> devices) {
        ASSERT_TRUE(waitFor([&] {
            for (Device* d : devices) {
                if (!d->line->isRegistered()) return false;
            }
            return true;
        }));
    }

    // `from` calls `to`'s number and waits until `to` rings.
    static void ring(Device& from, Device& to, const char* number, bool video = false) {
        from.model->calls().startCall(number, video);
        ASSERT_TRUE(from.model->calls().active());
        ASSERT_TRUE(waitFor([&] { return to.model->calls().incoming().has_value(); }));
        EXPECT_EQ(to.model->calls().incoming()->id, from.model->calls().active()->id);
    }

    static bool connected(const Device& d) {
        return d.model->calls().active() && d.model->calls().active()->phase == CallPhase::active;
    }
};

TEST_F(CallsThroughTheRelay, AnsweredCallsEndFromEitherSideWithRecordsOnBoth) {
    Device ann(relay, "mac-ANN", std::pair{kAnn, "Ann"});
    Device ben(relay, "mac-BEN", std::pair{kBen, "Ben"});
    allRegistered({&ann, &ben});

    ring(ann, ben, kBen);
    EXPECT_EQ(ben.model->calls().incoming()->name, "Ann");
    ben.model->calls().answerCall();
    ASSERT_TRUE(waitFor([&] { return connected(ann); }));
    EXPECT_TRUE(connected(ben));
    // Both hear the connection tone: their own, then the other side's.
    ASSERT_TRUE(waitFor([&] { return ann.media->received.size() >= 2; }));
    ASSERT_TRUE(waitFor([&] { return ben.media->received.size() >= 2; }));
    EXPECT_EQ(ann.media->received[1], ben.media->received[0]);
    EXPECT_TRUE(ann.media->audioReady());

    idle(150);
    ben.model->calls().endCall();
    ASSERT_TRUE(waitFor([&] { return !ann.model->calls().active(); }));
    ASSERT_EQ(ann.model->callList().size(), 1u);
    ASSERT_EQ(ben.model->callList().size(), 1u);
    EXPECT_EQ(ann.model->callList()[0].direction, CallDirection::outgoing);
    EXPECT_EQ(ann.model->callList()[0].name, "Ben");
    EXPECT_EQ(ben.model->callList()[0].direction, CallDirection::incoming);
    EXPECT_EQ(ben.model->callList()[0].name, "Ann");
    for (const Device* d : {&ann, &ben}) {
        EXPECT_GE(d->model->callList()[0].duration, 0.1);
        EXPECT_LT(d->model->callList()[0].duration, 10);
        EXPECT_FALSE(d->media->audioReady());
    }

    // The other way round, ended by the one who answered.
    ring(ben, ann, kAnn, true);
    EXPECT_TRUE(ann.model->calls().incoming()->video);
    ann.model->calls().answerCall();
    ASSERT_TRUE(waitFor([&] { return connected(ben); }));
    ann.model->calls().endCall();
    ASSERT_TRUE(waitFor([&] { return !ben.model->calls().active(); }));
    EXPECT_EQ(ben.model->callList()[0].direction, CallDirection::outgoing);
    EXPECT_EQ(ann.model->callList()[0].direction, CallDirection::incoming);
    EXPECT_TRUE(ann.model->callList()[0].video);
    EXPECT_EQ(ann.model->callList().size(), 2u);
}

TEST_F(CallsThroughTheRelay, AThirdNumbersMediaIsNeverPlayedIntoACall) {
    Device ann(relay, "mac-ANN", std::pair{kAnn, "Ann"});
    Device ben(relay, "mac-BEN", std::pair{kBen, "Ben"});
    allRegistered({&ann, &ben});
    WsClient cat(
        relay.port(),
        liveTarget(
            {{"number", kCat}, {"name", "Cat"}, {"device", "Mac"}, {"computer", "mac-CAT"}}));
    ASSERT_TRUE(cat.waitFor("pin"));

    ring(ann, ben, kBen);
    ben.model->calls().answerCall();
    ASSERT_TRUE(waitFor([&] { return connected(ann); }));
    ASSERT_TRUE(waitFor([&] { return ben.media->received.size() >= 2; }));  // both tones

    // Cat addresses audio and video to Ben, in every form media travels in.
    const wire::Bytes catAudio(640, std::byte{0x0C});
    cat.sendText(R"({"op":"audio","to":")" + std::string(kBen) + R"(","payload":")" +
                 wire::encodeBase64(catAudio) + R"("})");
    for (auto kind : {wire::FrameKind::audio, wire::FrameKind::video}) {
        const auto frame = wire::encodeNetFrame(kind, kBen, catAudio);
        cat.sendBinary(std::string(reinterpret_cast<const char*>(frame.data()), frame.size()));
    }
    // Ann's audio still comes through.
    const wire::Bytes annAudio(640, std::byte{0x0A});
    ann.media->callbacks.onAudio(annAudio);
    ASSERT_TRUE(waitFor([&] { return ben.media->received.back() == annAudio; }));
    idle(200);
    for (const auto& chunk : ben.media->received) EXPECT_NE(chunk, catAudio);
    EXPECT_EQ(ben.media->framesShown, 0);
}

TEST_F(CallsThroughTheRelay, DeclinedAndAbandonedCallsAreMissedOnTheCallee) {
    Device ann(relay, "mac-ANN", std::pair{kAnn, "Ann"});
    Device ben(relay, "mac-BEN", std::pair{kBen, "Ben"});
    allRegistered({&ann, &ben});
    ben.model->addContact("Ann", kAnn);  // a stranger would ring once in a while only

    ring(ann, ben, kBen);
    ben.model->calls().declineCall();
    ASSERT_TRUE(waitFor([&] { return !ann.model->calls().active(); }));
    EXPECT_EQ(ann.model->alertMessage(), "Ben declined.");
    EXPECT_EQ(ann.model->callList().at(0).direction, CallDirection::outgoing);
    EXPECT_EQ(ann.model->callList().at(0).duration, 0);
    EXPECT_EQ(ben.model->callList().at(0).direction, CallDirection::missed);
    ann.model->dismissAlert();

    // Ann gives up while Ben's device rings.
    ring(ann, ben, kBen);
    ann.model->calls().endCall();
    ASSERT_TRUE(waitFor([&] { return !ben.model->calls().incoming(); }));
    EXPECT_FALSE(ann.model->alertMessage());
    ASSERT_EQ(ben.model->callList().size(), 2u);
    EXPECT_EQ(ben.model->callList()[0].direction, CallDirection::missed);
    EXPECT_EQ(ann.model->callList()[0].direction, CallDirection::outgoing);
    EXPECT_EQ(ann.model->callList()[0].duration, 0);
}

TEST_F(CallsThroughTheRelay, AThirdCallerHearsBusy) {
    Device ann(relay, "mac-ANN", std::pair{kAnn, "Ann"});
    Device ben(relay, "mac-BEN", std::pair{kBen, "Ben"});
    Device cat(relay, "mac-CAT", std::pair{kCat, "Cat"});
    allRegistered({&ann, &ben, &cat});
    ben.model->addContact("Cat", kCat);  // strangers are never told "busy"

    ring(ann, ben, kBen);
    ben.model->calls().answerCall();
    ASSERT_TRUE(waitFor([&] { return connected(ann); }));

    // Cat learns Ben's name from a text first, so the alert can use it.
    ben.model->sendText("hi Cat", kCat);
    ASSERT_TRUE(waitFor([&] { return cat.message(kBen) != nullptr; }));
    cat.model->calls().startCall(kBen, false);
    ASSERT_TRUE(waitFor([&] { return !cat.model->calls().active(); }));
    EXPECT_EQ(cat.model->alertMessage(), "Ben is on another call.");
    EXPECT_EQ(cat.model->callList().at(0).direction, CallDirection::outgoing);
    EXPECT_EQ(cat.model->callList().at(0).duration, 0);
    EXPECT_TRUE(connected(ann));
    EXPECT_TRUE(connected(ben));
    EXPECT_FALSE(ben.model->calls().incoming());
    EXPECT_TRUE(ben.model->callList().empty());
}

TEST_F(CallsThroughTheRelay, NobodyAnsweringEndsTheCallOnBothSides) {
    const Timings saved = timings();
    Timings quick = saved;
    quick.noAnswer = std::chrono::milliseconds(600);
    setTimings(quick);

    Device ann(relay, "mac-ANN", std::pair{kAnn, "Ann"});
    Device ben(relay, "mac-BEN", std::pair{kBen, "Ben"});
    allRegistered({&ann, &ben});
    ring(ann, ben, kBen);
    // Ann's timer started first and ends the call; Ben's ringing ends by
    // her "end" or by its own timer, whichever comes first.
    ASSERT_TRUE(
        waitFor([&] { return !ann.model->calls().active() && !ben.model->calls().incoming(); }));
    setTimings(saved);
    EXPECT_EQ(ann.model->alertMessage(), "No answer.");
    EXPECT_EQ(ann.model->callList().at(0).direction, CallDirection::outgoing);
    ASSERT_EQ(ben.model->callList().size(), 1u);
    EXPECT_EQ(ben.model->callList()[0].direction, CallDirection::missed);
}

TEST_F(CallsThroughTheRelay, ANumberNobodyHasOpenIsReported) {
    Device ann(relay, "mac-ANN", std::pair{kAnn, "Ann"});
    allRegistered({&ann});
    ann.model->calls().startCall(kNobody, false);
    ASSERT_TRUE(waitFor([&] { return !ann.model->calls().active(); }));
    EXPECT_EQ(ann.model->alertMessage(), std::string(kNobody) + " does not have Merrowfax open.");
    EXPECT_EQ(ann.model->callList().at(0).direction, CallDirection::outgoing);
}

TEST_F(CallsThroughTheRelay, AnsweringOnOneDeviceStopsTheOtherWithoutARecord) {
    Device ann(relay, "mac-ANN", std::pair{kAnn, "Ann"});
    Device desk(relay, "mac-BEN-DESK", std::pair{kBen, "Ben"});
    Device laptop(relay, "mac-BEN-LAPTOP", std::pair{kBen, "Ben"});
    allRegistered({&ann, &desk, &laptop});

    ring(ann, desk, kBen);
    ASSERT_TRUE(waitFor([&] { return laptop.model->calls().incoming().has_value(); }));
    desk.model->calls().answerCall();
    ASSERT_TRUE(waitFor([&] { return !laptop.model->calls().incoming(); }));
    ASSERT_TRUE(waitFor([&] { return connected(ann); }));
    EXPECT_FALSE(laptop.model->calls().active());
    EXPECT_TRUE(laptop.model->callList().empty());

    ann.model->calls().endCall();
    ASSERT_TRUE(waitFor([&] { return !desk.model->calls().active(); }));
    EXPECT_EQ(desk.model->callList().at(0).direction, CallDirection::incoming);
    idle(100);
    EXPECT_TRUE(laptop.model->callList().empty());
}

}  // namespace
