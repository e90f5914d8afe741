// Two models joined by the in-process LAN, with no relay service at all:
// what the LAN path alone carries, and that it alone counts as "sent".
#include "loopback_lan.h"
#include "model_fixture.h"

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

// One installation on the shared LAN; its line never opens.
struct Member {
    QTemporaryDir dir;
    std::unique_ptr<AppModel> model;
    FakeLine* line = nullptr;
    FakeMedia* media = nullptr;

    Member(LoopbackLan& lan, const Account& account) {
        StoredDatabase db = StoredDatabase::fresh();
        db.account = account;
        db.account->deviceId = db.deviceId;
        Store(dir.path().toStdString()).save(db);
        AppComponents parts;
        auto fakeLine = std::make_unique<FakeLine>();
        auto fakeMedia = std::make_unique<FakeMedia>();
        line = fakeLine.get();
        media = fakeMedia.get();
        parts.line = std::move(fakeLine);
        parts.media = std::move(fakeMedia);
        parts.network = lan.join(account.displayName);
        model = std::make_unique<AppModel>(dir.path().toStdString(), std::move(parts));
    }
};

class OverTheLan : public ModelTest {
protected:
    LoopbackLan lan;
    Member ann{lan, account(kOwn, "Ann")};
    Member alice{lan, account(kAlice, "Alice")};

    void SetUp() override {
        ASSERT_TRUE(waitUntil([&] {
            return ann.model->online().contains(kAlice) && alice.model->online().contains(kOwn);
        }));
    }
};

TEST_F(OverTheLan, ATextIsSentDeliveredAndAcknowledgedWithoutTheRelay) {
    const auto id = ann.model->sendText("lunch at one?", kAlice);
    ASSERT_TRUE(id);
    // Only the LAN took it: that is enough for "sent".
    EXPECT_EQ(ann.model->threads().at(0).messages.at(0).status, MessageStatus::sent);
    ASSERT_EQ(ann.line->sentWithOp("text").size(), 1u);  // offered to the line too

    ASSERT_TRUE(waitUntil([&] { return !alice.model->threads().empty(); }));
    const ChatThread& received = alice.model->threads().at(0);
    EXPECT_EQ(received.id, kOwn);
    EXPECT_EQ(received.title, "Ann");
    EXPECT_EQ(received.messages.at(0).id, *id);
    EXPECT_EQ(received.messages.at(0).text, "lunch at one?");

    // The acknowledgement comes back the same way.
    EXPECT_TRUE(waitUntil([&] {
        return ann.model->threads().at(0).messages.at(0).status == MessageStatus::delivered;
    }));
}

TEST_F(OverTheLan, AStoppedLinkTakesNothingAndTheTextWaits) {
    alice.model->resetDevice();  // stops Alice's link
    ASSERT_TRUE(waitUntil([&] { return !ann.model->online().contains(kAlice); }));
    ann.model->sendText("anyone?", kAlice);
    EXPECT_EQ(ann.model->threads().at(0).messages.at(0).status, MessageStatus::waiting);
}

TEST_F(OverTheLan, ACallRingsConnectsCarriesAudioAndEnds) {
    ann.model->calls().startCall(kAlice, false);  // on the LAN: no wait for the line
    ASSERT_TRUE(ann.model->calls().active());
    ASSERT_TRUE(waitUntil([&] { return alice.model->calls().incoming().has_value(); }));
    EXPECT_EQ(alice.model->calls().incoming()->name, "Ann");

    alice.model->calls().answerCall();
    ASSERT_TRUE(waitUntil([&] { return ann.model->calls().active()->phase == CallPhase::active; }));

    // Ann's microphone reaches Alice as a LAN media frame.
    alice.media->received.clear();
    const wire::Bytes chunk(640, std::byte{7});
    ann.media->callbacks.onAudio(chunk);
    EXPECT_TRUE(waitUntil([&] {
        return std::find(alice.media->received.begin(), alice.media->received.end(), chunk) !=
               alice.media->received.end();
    }));

    alice.model->calls().endCall();
    ASSERT_TRUE(waitUntil([&] { return !ann.model->calls().active(); }));
    ASSERT_EQ(ann.model->callList().size(), 1u);
    EXPECT_EQ(ann.model->callList()[0].direction, CallDirection::outgoing);
    EXPECT_EQ(alice.model->callList().at(0).direction, CallDirection::incoming);
}

}  // namespace
