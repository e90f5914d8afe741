// Devices talking through the real relay service.
#include <gtest/gtest.h>

#include "app/model_fixture.h"
#include "device.h"
#include "platform/timings.h"
#include "support/ws_client.h"

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

constexpr const char* kAnn = "0-1-234-5678";
constexpr const char* kBen = "44-1-555-0001";
constexpr const char* kCat = "1-1-222-2222";

class ThroughTheRelay : public ::testing::Test {
protected:
    RelayProcess relay;
};

TEST_F(ThroughTheRelay, APinGuardsTheNumberAgainstAnotherComputer) {
    Device ann(relay, "mac-ANN", std::pair{kAnn, "Ann"});
    ASSERT_TRUE(waitFor([&] { return ann.line->isRegistered(); }));
    ann.model->accounts().setPIN("1234");
    ASSERT_TRUE(waitFor([&] { return ann.model->alertMessage().has_value(); }));
    EXPECT_EQ(*ann.model->alertMessage(),
              "PIN saved. Another phone needs this PIN to use the number.");
    EXPECT_TRUE(ann.model->accounts().hasPin());

    Device cat(relay, "mac-CAT", std::pair{kCat, "Cat"});
    ASSERT_TRUE(waitFor([&] { return cat.line->isRegistered(); }));
    cat.model->accounts().claimNumber("Cat", kAnn, "9999");
    ASSERT_TRUE(waitFor([&] { return cat.model->alertMessage().has_value(); }));
    EXPECT_EQ(cat.model->account()->number.text(), kCat);  // back to her own number
    cat.model->dismissAlert();

    cat.model->accounts().claimNumber("Cat", kAnn, "1234");
    ASSERT_TRUE(waitFor([&] { return cat.model->accounts().hasPin(); }));
    EXPECT_EQ(cat.model->account()->number.text(), kAnn);
    EXPECT_FALSE(cat.model->alertMessage());
}

TEST_F(ThroughTheRelay, AComputerFindsItsAccountAndBookAgain) {
    {
        Device ann(relay, "mac-ANN", std::pair{kAnn, "Ann"});
        Device ben(relay, "mac-BEN", std::pair{kBen, "Ben"});
        ASSERT_TRUE(waitFor([&] { return ann.line->isRegistered() && ben.line->isRegistered(); }));
        // Ben's first text makes him Ann's contact, and Ann's book is stored
        // once the changes of the moment are gathered.
        ben.model->messaging().sendText("hello", kAnn);
        ASSERT_TRUE(waitFor([&] { return ann.model->people().contacts().size() == 1; }, 10'000));
        waitFor([] { return false; }, static_cast<int>(timings().bookUpload.count()) + 300);
    }
    // Ann's data is lost; the computer is the same.
    Device again(relay, "mac-ANN", std::nullopt);
    EXPECT_TRUE(again.model->restoring());
    ASSERT_TRUE(waitFor([&] { return again.model->account().has_value(); }));
    EXPECT_EQ(again.model->account()->number.text(), kAnn);
    EXPECT_EQ(again.model->account()->displayName, "Ann");
    EXPECT_FALSE(again.model->restoring());
    ASSERT_TRUE(waitFor([&] { return again.model->people().contacts().size() == 1; }));
    EXPECT_EQ(again.model->people().contacts()[0].number, kBen);

    // Forgotten, the computer starts from scratch.
    again.model->forgetComputer();
    QThread::msleep(200);
    waitFor([] { return false; }, 300);
    Device fresh(relay, "mac-ANN", std::nullopt);
    ASSERT_TRUE(waitFor([&] { return !fresh.model->restoring(); }));
    EXPECT_FALSE(fresh.model->account());
}

TEST_F(ThroughTheRelay, TheLineComesBackAfterTheServiceRestartsAndPresenceFollowsIt) {
    Device ann(relay, "mac-ANN", std::pair{kAnn, "Ann"});
    Device ben(relay, "mac-BEN", std::pair{kBen, "Ben"});
    ASSERT_TRUE(waitFor([&] { return ann.line->isRegistered() && ben.line->isRegistered(); }));
    ann.model->people().addContact("Ben", kBen);
    ASSERT_TRUE(waitFor([&] { return ann.model->online().count(kBen) == 1; }, 3000));
    relay.restart(/*samePort=*/true);
    // Both notice the restart (they reconnect only after a pause), then
    // register again. Meanwhile nobody the service reported is online.
    ASSERT_TRUE(waitFor([&] { return !ann.line->isRegistered(); }));
    ASSERT_TRUE(waitFor([&] { return !ben.line->isRegistered(); }));
    EXPECT_TRUE(waitFor([&] { return ann.model->online().empty(); }, 2000));
    ASSERT_TRUE(
        waitFor([&] { return ann.line->isRegistered() && ben.line->isRegistered(); }, 10000));
    EXPECT_TRUE(waitFor([&] { return ann.model->online().count(kBen) == 1; }, 3000));
    ann.model->messaging().sendText("still there?", kBen);
    ASSERT_TRUE(waitFor([&] { return ben.message(kAnn) != nullptr; }));
    EXPECT_TRUE(waitFor([&] { return ann.message(kBen)->status == MessageStatus::delivered; }));
}

TEST_F(ThroughTheRelay, ARegistrationTheServiceCannotTakeIsNotRetried) {
    // A computer identity with a control character: the service refuses the
    // registration itself, says why, and the line stays closed.
    Device odd(relay, "mac-\x01ODD", std::pair{kAnn, "Ann"});
    ASSERT_TRUE(waitFor([&] { return odd.model->alertMessage().has_value(); }));
    EXPECT_EQ(*odd.model->alertMessage(),
              "This computer did not identify itself. Update Merrowfax and try again.");
    idle(static_cast<int>(timings().reconnect.count()) * 5);
    EXPECT_FALSE(odd.line->isOpen());
    const std::string log = relay.log();
    std::size_t refusals = 0;
    for (auto at = log.find("event=denied"); at != std::string::npos;
         at = log.find("event=denied", at + 1))
        ++refusals;
    EXPECT_EQ(refusals, 1u) << log;
    EXPECT_EQ(odd.model->account()->number.text(), kAnn);  // a settled account stays
}

TEST_F(ThroughTheRelay, ScreenFramesNeverQueueUp) {
    Device ann(relay, "mac-ANN", std::pair{kAnn, "Ann"});
    ASSERT_TRUE(waitFor([&] { return ann.line->isRegistered(); }));
    WsClient viewer(
        relay.port(),
        liveTarget({{"number", kBen}, {"name", "Ben"}, {"device", "Mac"}, {"computer", "mac-V"}}));
    ASSERT_TRUE(viewer.waitFor("pin"));  // registered: frames to Ben reach it now
    NoLanTransport noLan;
    Router router(noLan, *ann.line);
    router.setDeskTo(kBen);
    auto frame = [](char fill) {
        return wire::Bytes(1000, static_cast<std::byte>(fill));
    };
    router.queueDeskFrame(frame('1'));  // in flight at once
    router.queueDeskFrame(frame('2'));  // replaced by the next before it leaves
    router.queueDeskFrame(frame('3'));

    // Let the line write; the viewer's socket keeps what arrives. The wait
    // pumps this thread's event loop, which the line writes from.
    waitFor([] { return false; }, 500);
    std::vector<char> seen;
    while (seen.size() < 2) {
        auto m = viewer.receive(std::chrono::milliseconds(3000));
        if (!m) break;
        if (m->binary) seen.push_back(m->data.back());
    }
    waitFor([] { return false; }, 300);
    if (auto extra = viewer.receive(std::chrono::milliseconds(300)); extra && extra->binary) {
        seen.push_back(extra->data.back());
    }
    EXPECT_EQ(seen, (std::vector<char>{'1', '3'}));
}

TEST_F(ThroughTheRelay, EveryByteTheLineWritesIsCountedSoFramesCompleteOnlyOnceWritten) {
    // Pings every few milliseconds between the frames. Whenever the socket
    // has written everything, what it reported written must equal what was
    // counted in: had pings, frame headers or the handshake gone uncounted,
    // the written count would run ahead and the next frame would complete
    // before its bytes left.
    TimingsOverride quick([](Timings& t) { t.keepAlive = std::chrono::milliseconds(5); });
    Device ann(relay, "mac-ANN", std::pair{kAnn, "Ann"});
    ASSERT_TRUE(waitFor([&] { return ann.line->isRegistered(); }));
    ann.model->messaging().sendText("a text between the frames", kBen);
    int completed = 0;
    for (std::size_t size : {100u, 70'000u, 300u}) {
        idle(60);  // pings go out meanwhile
        ASSERT_TRUE(waitFor([&] { return ann.line->unwrittenBytes() == 0; }));
        bool done = false;
        ann.line->sendBinary(wire::FrameKind::deskFrame, std::string(kBen),
                             wire::Bytes(size, std::byte{7}), [&] { done = true; });
        // Not complete before the socket reports the frame written.
        EXPECT_FALSE(done);
        EXPECT_GT(ann.line->unwrittenBytes(), static_cast<qint64>(size));
        ASSERT_TRUE(waitFor([&] { return done; }));
        ++completed;
    }
    EXPECT_EQ(completed, 3);
    idle(60);
    EXPECT_EQ(ann.line->unwrittenBytes(), 0);
}

}  // namespace
