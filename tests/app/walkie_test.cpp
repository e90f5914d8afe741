// The walkie's model side against a recording engine: who may talk, what
// goes out, what is heard, and the "Walkie" messages both sides keep.
#include "model_fixture.h"
#include "wire/frames.h"

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

class Walkie : public ModelTest {
protected:
    void SetUp() override {
        start();
        line->open = true;
        fromLine(text(kAlice, "hi"));  // a chat with Alice exists
    }

    static wire::events::Talk talk(bool start, const char* from = kAlice) {
        return {start, "Alice", from};
    }
    static wire::events::Walkie frame(std::size_t bytes, const char* from = kAlice) {
        return {wire::Bytes(bytes, std::byte{3}), from};
    }

    std::vector<wire::Envelope> talks() const { return line->sentWithOp("talk"); }
    // The thread's "Walkie" messages.
    std::vector<Message> walkies(const char* number = kAlice) const {
        std::vector<Message> out;
        if (const ChatThread* t = threadOf(number)) {
            for (const auto& m : t->messages) {
                if (m.text == "Walkie") out.push_back(m);
            }
        }
        return out;
    }
    std::uintmax_t fileSize(const Message& m) const {
        return std::filesystem::file_size(*model->attachmentFile(*m.attachmentPath));
    }
    // A press to Alice in which the microphone gives `bytes` bytes.
    void press(std::size_t bytes) {
        model->walkie().holdTalk(kAlice);
        walkie->speak(bytes);
        settle();
        model->walkie().endTalk(kAlice);
    }
};

TEST_F(Walkie, RefusalsExplainAndSendNothing) {
    model->people().blockNumber(kAlice, true);
    model->walkie().holdTalk(kAlice);
    EXPECT_EQ(model->alertMessage(), "Alice is blocked. Unblock them first.");
    model->people().blockNumber(kAlice, false);

    model->calls().startCall(kBob, false);
    model->walkie().holdTalk(kAlice);
    EXPECT_EQ(model->alertMessage(), "End the phone call before using the walkie.");
    model->calls().endCall();

    line->open = false;
    const int connects = line->connects;
    model->walkie().holdTalk(kAlice);
    EXPECT_EQ(model->alertMessage(), "Merrowfax is connecting. Hold the walkie again in a moment.");
    EXPECT_EQ(line->connects, connects + 1);

    EXPECT_TRUE(talks().empty());
    EXPECT_FALSE(model->walkie().holdingTalk());
    EXPECT_EQ(walkie->presses, 0);

    // Alice on the LAN is a path even while the line is closed.
    lan->connected = {{"peer-a", kAlice}};
    lan->handler(wire::events::Online{{kAlice}});
    settle();
    model->walkie().holdTalk(kAlice);
    EXPECT_TRUE(model->walkie().holdingTalk());
}

TEST_F(Walkie, ShortExchangesAndChatlessNumbersLeaveNoMessage) {
    press(1600);
    EXPECT_TRUE(walkies().empty());
    // Bob has no chat: his walkie is heard but not kept.
    lan->connected = {{"peer-b", kBob}};
    model->walkie().holdTalk(kBob);
    walkie->speak(4000);
    settle();
    model->walkie().endTalk(kBob);
    EXPECT_FALSE(threadOf(kBob));
}

TEST_F(Walkie, APressEndsItselfAtSixtySecondsOfAudio) {
    model->walkie().holdTalk(kAlice);
    for (int second = 0; second < 61; ++second) walkie->speak(32'000);
    settle();
    EXPECT_FALSE(model->walkie().holdingTalk());
    ASSERT_EQ(talks().size(), 2u);
    EXPECT_EQ(talks()[1].call, "end");
    ASSERT_EQ(walkies().size(), 1u);
    EXPECT_EQ(fileSize(walkies()[0]), 44u + 1'920'000u);
    // The user lets go afterwards: nothing more happens.
    model->walkie().endTalk(kAlice);
    EXPECT_EQ(talks().size(), 2u);
}

TEST_F(Walkie, ATalkIsHeardAndKept) {
    fromLan(frame(320));  // overtook its start
    fromLine(talk(true));
    fromLine(talk(true));  // the same start over the second path
    EXPECT_EQ(model->walkie().incomingTalk(), kAlice);
    ASSERT_EQ(walkie->hearings.size(), 1u);
    EXPECT_EQ(walkie->hearings[0], "Alice");
    for (int i = 0; i < 4; ++i) fromLine(frame(640));
    fromLine(talk(false));
    fromLan(talk(false));
    EXPECT_FALSE(model->walkie().incomingTalk());
    EXPECT_EQ(walkie->silences, 1) << "the end closes the talk at once, and only once";

    ASSERT_EQ(walkie->chunks.size(), 5u);
    EXPECT_EQ(walkie->chunks[0].size(), 320u);
    const auto kept = walkies();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].sender, "them");
    EXPECT_EQ(*kept[0].expiresAt, kept[0].sentAt + 7200);
    EXPECT_EQ(fileSize(kept[0]), 44u + 320u + 4 * 640u);
}

TEST_F(Walkie, HostileFramesAreDroppedAndMemoryStaysBounded) {
    // Frames after the end are late, not the start of the next talk.
    fromLine(talk(true));
    fromLine(frame(2000));
    fromLine(talk(false));
    fromLine(frame(5000));
    fromLine(talk(true));
    EXPECT_EQ(walkie->chunks.size(), 1u);
    fromLine(talk(false));

    // From a number that is not talking, or is blocked.
    walkie->chunks.clear();
    fromLine(talk(true));
    fromLine(frame(640, kBob));
    model->people().blockNumber(kBob, true);
    fromLine(talk(true, kBob));
    fromLine(frame(640, kBob));
    EXPECT_EQ(model->walkie().incomingTalk(), kAlice);
    EXPECT_TRUE(walkie->chunks.empty());

    // A flood: 100 MB in 1 MB frames keeps and plays at most 60 s.
    std::size_t played = 0;
    for (int i = 0; i < 100; ++i) fromLine(frame(1 << 20));
    for (const auto& c : walkie->chunks) played += c.size();
    EXPECT_EQ(played, 1'920'000u);
    fromLine(talk(false));
    EXPECT_EQ(fileSize(walkies().back()), 44u + 1'920'000u);
}

TEST_F(Walkie, ANewTalkerCutsInAndTheFirstTalkIsKept) {
    fromLine(text(kBob, "hey", Uuid::random(), "Bob"));
    fromLine(talk(true, kAlice));
    fromLine(frame(4000, kAlice));
    fromLine(talk(true, kBob));
    fromLine(frame(3000, kAlice));  // Alice's talk is over for us
    fromLine(frame(5000, kBob));
    fromLine(talk(false, kAlice));  // not the talk being heard
    EXPECT_EQ(model->walkie().incomingTalk(), kBob);
    EXPECT_EQ(walkie->silences, 0) << "Bob is still on the speaker";
    fromLine(talk(false, kBob));
    EXPECT_EQ(walkie->silences, 1);
    ASSERT_EQ(walkies(kAlice).size(), 1u);
    EXPECT_EQ(fileSize(walkies(kAlice)[0]), 44u + 4000u);
    ASSERT_EQ(walkies(kBob).size(), 1u);
    EXPECT_EQ(fileSize(walkies(kBob)[0]), 44u + 5000u);
}

TEST_F(Walkie, ATalkThatNeverEndsEndsWhenItGoesQuiet) {
    TimingsOverride quick([](Timings& t) { t.walkieStall = std::chrono::milliseconds(50); });
    model->people().addContact("Bob", kBob);
    fromLine(talk(true));
    fromLine(frame(4000));
    ASSERT_TRUE(waitUntil([&] { return !model->walkie().incomingTalk(); }, 2000));
    ASSERT_EQ(walkies().size(), 1u);
    // Frames without a start are forgotten too.
    fromLine(frame(4000, kBob));
    waitUntil([] { return false; }, 150);
    fromLine(talk(true, kBob));
    EXPECT_EQ(walkie->chunks.size(), 1u);
}

TEST_F(Walkie, ACallEndsThePressAndTheWalkieStepsBack) {
    model->walkie().holdTalk(kAlice);
    walkie->speak(4000);
    settle();
    fromLine(wire::events::Call{"invite", Uuid::random(), kBob, "Mac", "Bob", false, kBob});
    EXPECT_FALSE(model->walkie().holdingTalk());
    EXPECT_EQ(talks().back().call, "end");
    EXPECT_EQ(walkie->givenWay, 1);
    EXPECT_TRUE(walkie->yielded);
    EXPECT_EQ(walkies().size(), 1u);
}

// A run whose components bring no decoder keeps the recording and explains.
TEST_F(Walkie, WithoutADecoderAStoredRecordingDoesNotPlay) {
    press(3200);
    const Message kept = walkies().at(0);
    model.reset();
    decodeRecording = nullptr;
    start();
    ASSERT_EQ(walkies().size(), 1u) << "the recording is kept";
    model->playWalkieMessage(kept.id, kAlice);
    ASSERT_TRUE(waitUntil([&] { return model->alertMessage().has_value(); }));
    EXPECT_EQ(model->alertMessage(), "That recording could not be played.");
}

// Bob is no contact. With "Walkie from contacts only" off he may be heard,
// but never as someone else, never over another talk, and seldom.
class WalkieStranger : public Walkie {
protected:
    void SetUp() override {
        Walkie::SetUp();
        model->walkie().setContactsOnly(false);
        model->messaging().sendText("hello?", kBob);  // a chat, so his talks could be kept
    }
    // Bob keys up calling himself "Ben", says `bytes`, and lets go.
    void bobTalks(std::size_t bytes = 4000) {
        fromLine(wire::events::Talk{true, "Ben", kBob});
        fromLine(frame(bytes, kBob));
        fromLine(talk(false, kBob));
    }
};

TEST_F(WalkieStranger, NeverCutsIntoATalkButAContactCutsIntoHis) {
    fromLine(talk(true));
    fromLine(wire::events::Talk{true, "Ben", kBob});
    fromLine(frame(4000, kBob));
    EXPECT_EQ(model->walkie().incomingTalk(), kAlice);
    EXPECT_TRUE(walkie->chunks.empty());
    fromLine(talk(false));

    // Nor over the user's own press.
    model->walkie().holdTalk(kAlice);
    fromLine(wire::events::Talk{true, "Ben", kBob});
    EXPECT_FALSE(model->walkie().incomingTalk());
    model->walkie().endTalk(kAlice);

    // Once all is quiet he is heard, and Alice keying up takes the speaker.
    fromLine(wire::events::Talk{true, "Ben", kBob});
    ASSERT_EQ(model->walkie().incomingTalk(), kBob);
    fromLine(talk(true));
    EXPECT_EQ(model->walkie().incomingTalk(), kAlice);
}

TEST_F(WalkieStranger, IsNeverHeardWhileContactsOnlyAndAFloodIsHeardOnceAMinuteAndKeptOnce) {
    TimingsOverride window([](Timings& t) { t.strangerTalk = std::chrono::milliseconds(1000); });
    model->walkie().setContactsOnly(true);
    bobTalks();
    EXPECT_TRUE(walkie->hearings.empty());
    EXPECT_TRUE(walkie->chunks.empty());
    EXPECT_TRUE(walkies(kBob).empty());
    model->walkie().setContactsOnly(false);
    for (int i = 0; i < 100; ++i) bobTalks();
    EXPECT_EQ(walkie->hearings.size(), 1u);
    EXPECT_EQ(walkies(kBob).size(), 1u);
    // Frames of a talk not heard never reach the speaker.
    EXPECT_EQ(walkie->chunks.size(), 1u);

    ASSERT_TRUE(waitUntil([&] {
        bobTalks();
        return walkie->hearings.size() == 2;
    }));
    EXPECT_EQ(walkies(kBob).size(), 2u);
}

}  // namespace
