// The call state machine against fake transports: what each step sends,
// records and shows. Which path media takes is the router's, tested there;
// calls between real programs are the command-line client's tests.
#include <algorithm>
#include <cmath>

#include "media/connection_tone.h"
#include "model_fixture.h"
#include "platform/timings.h"

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

class Calls : public ModelTest {
protected:
    void SetUp() override { start(); }

    static wire::events::Call signal(const std::string& word, const Uuid& id,
                                     const char* from = kAlice, const char* peerKey = kAlice) {
        return {word, id, from, "Mac", "Alice", false, peerKey};
    }

    // Alice's invitation, ringing here.
    Uuid ringFromAlice(bool video = false) {
        const Uuid id = Uuid::random();
        auto invite = signal("invite", id);
        invite.video = video;
        fromLine(invite);
        return id;
    }

    // A call from here to Alice that she answered.
    Uuid connectedToAlice(bool video = false) {
        line->open = true;
        model->calls().startCall(kAlice, video);
        const Uuid id = model->calls().active()->id;
        fromLine(signal("accept", id));
        settle();
        return id;
    }

    std::vector<wire::Envelope> callsSent(const std::string& word) const {
        std::vector<wire::Envelope> out;
        for (const auto& e : line->sentWithOp("call")) {
            if (e.call == word) out.push_back(e);
        }
        return out;
    }

    // Whether the ringing sound still repeats.
    bool stillRings() {
        const auto rings = sounds->played.size();
        waitUntil([] { return false; }, 150);
        return sounds->played.size() != rings;
    }
};

TEST_F(Calls, ChecksBeforeDialingAlertOrStaySilent) {
    model->calls().startCall("12", false);
    EXPECT_EQ(model->alertMessage(), "That number is not a Merrowfax number.");
    model->calls().startCall("0 1 234 5678", false);
    EXPECT_EQ(model->alertMessage(), "That is your number.");
    model->people().addContact("Bob", kBob);
    model->people().setBlocked(model->people().contacts().front().id, true);
    model->calls().startCall(kBob, false);
    EXPECT_EQ(model->alertMessage(), "Bob is blocked. Unblock them first.");
    model->dismissAlert();

    // Ringing here: a new call is neither placed nor explained.
    ringFromAlice();
    line->open = true;
    model->calls().startCall(kBob, false);
    EXPECT_FALSE(model->calls().active());
    EXPECT_FALSE(model->alertMessage());
    EXPECT_TRUE(callsSent("invite").empty());
}

TEST_F(Calls, PlacingACallInvitesOnBothPathsAndTheWalkieStepsBack) {
    lan->connected = {{"peer-a", kAlice}, {"peer-b", kBob}};
    line->open = true;
    model->calls().startCall("44 1 555 0001", true);

    ASSERT_TRUE(model->calls().active());
    const ActiveCall& call = *model->calls().active();
    EXPECT_EQ(call.number, kAlice);
    EXPECT_EQ(call.phase, CallPhase::dialing);
    EXPECT_TRUE(call.outgoing && call.video);
    const auto invites = callsSent("invite");
    ASSERT_EQ(invites.size(), 1u);
    EXPECT_EQ(invites[0].to, kAlice);
    EXPECT_EQ(invites[0].name, "Me");
    EXPECT_EQ(invites[0].id, call.id.text());
    ASSERT_EQ(lan->envelopes.size(), 1u);
    EXPECT_EQ(lan->envelopes[0].second, std::vector<std::string>{"peer-a"});
    EXPECT_EQ(walkie->givenWay, 1);
    EXPECT_TRUE(walkie->yielded);

    model->calls().startCall(kBob, false);  // a second press while dialing
    EXPECT_EQ(callsSent("invite").size(), 1u);
}

TEST_F(Calls, WithoutAPathTheCallWaitsThenGivesUpWithARecord) {
    model->calls().startCall(kAlice, false);
    EXPECT_EQ(line->connects, 1);
    EXPECT_FALSE(model->calls().active());
    model->calls().startCall(kAlice, false);  // still waiting: not a second call
    ASSERT_TRUE(waitUntil([&] { return model->alertMessage().has_value(); }));
    EXPECT_EQ(model->alertMessage(), "Merrowfax cannot reach the internet right now.");
    ASSERT_EQ(model->callList().size(), 1u);
    EXPECT_EQ(model->callList()[0].direction, CallDirection::outgoing);
    EXPECT_TRUE(line->sent.empty());
    EXPECT_EQ(stored().calls, model->callList());

    // The line opening during the wait places the call.
    model->calls().startCall(kAlice, false);
    line->open = true;
    ASSERT_TRUE(waitUntil([&] { return model->calls().active().has_value(); }));
    EXPECT_EQ(callsSent("invite").size(), 1u);
}

TEST_F(Calls, AnInvitationOverBothPathsRingsOnceAndItsLateCopyNeverAnswersBusy) {
    lan->connected = {{"peer-a", kAlice}};
    const Uuid id = Uuid::random();
    auto invite = signal("invite", id, kAlice, "peer-a");
    invite.name = "Alice Liddell";
    fromLan(invite);
    fromLine(signal("invite", id));
    ASSERT_TRUE(model->calls().incoming());
    EXPECT_EQ(model->calls().incoming()->name, "Alice Liddell");
    EXPECT_EQ(model->calls().incoming()->peerKey, "peer-a");
    EXPECT_EQ(walkie->givenWay, 1);
    ASSERT_TRUE(waitUntil([&] { return sounds->played.size() >= 3; }));
    for (auto sound : sounds->played) EXPECT_EQ(sound, SystemSound::ring);

    model->calls().answerCall();
    fromLine(signal("invite", id));  // after the answer
    EXPECT_EQ(model->calls().active()->id, id);
    EXPECT_FALSE(model->calls().incoming());
    model->calls().endCall();
    fromLine(signal("invite", id));  // after the call is over
    EXPECT_FALSE(model->calls().incoming());
    EXPECT_TRUE(callsSent("busy").empty());
}

TEST_F(Calls, ASecondCallerHearsBusyAndTheRunningCallIsUntouched) {
    model->people().addContact("Bob", kBob);
    lan->connected = {{"peer-b", kBob}};
    connectedToAlice();
    const ActiveCall running = *model->calls().active();
    const Uuid second = Uuid::random();
    fromLan(signal("invite", second, kBob, "peer-b"));

    EXPECT_EQ(model->calls().active(), running);
    EXPECT_FALSE(model->calls().incoming());
    const auto busy = callsSent("busy");
    ASSERT_EQ(busy.size(), 1u);
    EXPECT_EQ(busy[0].to, kBob);
    EXPECT_EQ(busy[0].id, second.text());
    EXPECT_EQ(lan->envelopes.back().second, std::vector<std::string>{"peer-b"});
}

TEST_F(Calls, TheCallerSeesBusyDeclineAndMissAsAlertsAndRecords) {
    struct Case {
        const char* word;  // the callee's answer; none: the service's "miss"
        const char* alert;
    };
    const Case cases[] = {
        {"busy", "Alice is on another call."},
        {"decline", "Alice declined."},
        {nullptr, "Alice does not have Merrowfax open."},
    };
    model->people().addContact("Alice", kAlice);
    line->open = true;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        model->calls().startCall(kAlice, false);
        const Uuid id = model->calls().active()->id;
        line->callbacks.onMiss(kBob);  // another number: not this call
        settle();
        ASSERT_TRUE(model->calls().active());
        if (cases[i].word) {
            fromLine(signal(cases[i].word, id));
        } else {
            line->callbacks.onMiss(kAlice);
            settle();
        }
        EXPECT_EQ(model->alertMessage(), cases[i].alert);
        EXPECT_FALSE(model->calls().active());
        ASSERT_EQ(model->callList().size(), i + 1);
        EXPECT_EQ(model->callList()[0].direction, CallDirection::outgoing);
        EXPECT_EQ(model->callList()[0].name, "Alice");
        EXPECT_EQ(callsSent("end").size(), i + 1);
        EXPECT_FALSE(walkie->yielded);
    }

    // Alice reachable on the LAN alone: the service's miss ends nothing.
    lan->connected = {{"peer-a", kAlice}};
    model->calls().startCall(kAlice, false);
    line->callbacks.onMiss(kAlice);
    settle();
    ASSERT_TRUE(model->calls().active());
    fromLan(signal("accept", model->calls().active()->id, kAlice, "peer-a"));
    EXPECT_EQ(model->calls().active()->phase, CallPhase::active);
}

TEST_F(Calls, OnlyTheOtherPartyChangesTheCallOrIsHeardAndOnlyWhileItRuns) {
    const wire::Bytes chunk(640, std::byte{1});
    fromLine(wire::events::Audio{chunk, kAlice});  // no call yet
    media->callbacks.onAudio(chunk);
    EXPECT_TRUE(media->received.empty());
    EXPECT_TRUE(line->audio.empty());

    const Uuid id = connectedToAlice();
    media->received.clear();
    line->audio.clear();
    fromLine(signal("end", id, kBob, kBob));
    fromLine(signal("decline", id, kBob, kBob));
    fromLine(signal("end", id, kOwn, kOwn));
    ASSERT_TRUE(model->calls().active());
    // Anyone can address media to this number: a stranger, a frame that
    // names nobody, even this number's own devices.
    for (const char* from : {kBob, "", kOwn}) {
        fromLine(wire::events::Audio{chunk, from});
        fromLan(wire::events::Video{chunk, from});
    }
    EXPECT_TRUE(media->received.empty());
    EXPECT_EQ(media->framesShown, 0);
    fromLine(wire::events::Audio{chunk, kAlice});
    fromLan(wire::events::Video{chunk, kAlice});
    EXPECT_EQ(media->received.size(), 1u);
    EXPECT_EQ(media->framesShown, 1);
    media->callbacks.onAudio(chunk);
    EXPECT_EQ(line->audio.size(), 1u);

    model->calls().endCall();
    fromLine(wire::events::Audio{chunk, kAlice});
    media->callbacks.onAudio(chunk);
    EXPECT_EQ(media->received.size(), 1u);
    EXPECT_EQ(line->audio.size(), 1u);
}

TEST_F(Calls, AnsweringSendsAcceptAndAnsweredThenStartsAudioAndTheTone) {
    lan->connected = {{"peer-a", kAlice}, {"peer-own", kOwn}};
    fromLan(signal("invite", Uuid::random(), kAlice, "peer-a"));
    model->calls().answerCall();

    ASSERT_TRUE(model->calls().active());
    EXPECT_FALSE(model->calls().incoming());
    EXPECT_EQ(model->calls().active()->phase, CallPhase::active);
    EXPECT_FALSE(model->calls().active()->outgoing);
    ASSERT_EQ(callsSent("accept").size(), 1u);
    EXPECT_EQ(callsSent("accept")[0].to, kAlice);
    ASSERT_EQ(callsSent("answered").size(), 1u);
    EXPECT_EQ(callsSent("answered")[0].to, kOwn);
    ASSERT_EQ(lan->envelopes.size(), 2u);
    EXPECT_EQ(lan->envelopes[0].second, std::vector<std::string>{"peer-a"});
    EXPECT_EQ(lan->envelopes[1].second, std::vector<std::string>{"peer-own"});

    settle();
    EXPECT_EQ(media->audioStarts, 1);
    EXPECT_EQ(media->videoStarts, 0);
    // The tone is heard here and goes to the caller's device.
    const wire::Bytes tone = wireAudio(makeTone(kConnectionToneSamples));
    EXPECT_EQ(media->received, std::vector<wire::Bytes>{tone});
    EXPECT_EQ(lan->media.size(), 1u);
    EXPECT_FALSE(stillRings());
}

TEST_F(Calls, MissingDevicesGiveTheirAlerts) {
    media->microphone = false;
    connectedToAlice();
    EXPECT_EQ(model->alertMessage(),
              "Merrowfax needs the microphone for calls. You can allow it in Settings.");
    EXPECT_FALSE(model->calls().active());
    EXPECT_EQ(media->audioStarts, 0);
    ASSERT_EQ(model->callList().size(), 1u);

    media->microphone = true;
    media->starts = false;
    connectedToAlice();
    EXPECT_EQ(model->alertMessage(), "The call is connected, but the microphone did not start.");
    EXPECT_TRUE(model->calls().active());
    model->calls().endCall();

    media->starts = true;
    media->camera = false;
    connectedToAlice(true);
    EXPECT_EQ(model->alertMessage(), "The camera is off, so this call stays on voice.");
    EXPECT_EQ(media->videoStarts, 0);
    model->calls().endCall();

    media->camera = true;
    connectedToAlice(true);
    EXPECT_TRUE(media->videoOn());
    model->calls().endCall();
    EXPECT_FALSE(media->videoOn());
    EXPECT_FALSE(media->audioReady());
}

TEST_F(Calls, ACallThatRangHereWithoutAnAnswerIsMissed) {
    model->people().addContact("Alice", kAlice);  // rings again at once
    const Uuid first = ringFromAlice(true);
    model->calls().declineCall();
    EXPECT_FALSE(model->calls().incoming());
    ASSERT_EQ(callsSent("decline").size(), 1u);
    EXPECT_EQ(callsSent("decline")[0].id, first.text());
    ASSERT_EQ(model->callList().size(), 1u);
    EXPECT_EQ(model->callList()[0].direction, CallDirection::missed);
    EXPECT_TRUE(model->callList()[0].video);
    EXPECT_FALSE(walkie->yielded);

    // The caller hung up while it rang, in a signal without a name: the name
    // the invitation gave stays.
    auto nameless = signal("end", ringFromAlice());
    nameless.name = kAlice;
    fromLine(nameless);
    EXPECT_FALSE(model->calls().incoming());
    ASSERT_EQ(model->callList().size(), 2u);
    EXPECT_EQ(model->callList()[0].direction, CallDirection::missed);
    EXPECT_EQ(model->callList()[0].name, "Alice");
    EXPECT_EQ(model->people().directory().at(kAlice), "Alice");
    EXPECT_TRUE(callsSent("end").empty());

    // Answered on another device of this number: no record at all.
    const Uuid third = ringFromAlice();
    fromLine(signal("answered", Uuid::random(), kOwn, kOwn));  // some other call
    EXPECT_TRUE(model->calls().incoming());
    fromLine(signal("answered", third, kOwn, kOwn));
    EXPECT_FALSE(model->calls().incoming());
    EXPECT_EQ(model->callList().size(), 2u);
    EXPECT_FALSE(stillRings());
}

TEST_F(Calls, NobodyAnsweringEndsTheCallOnBothSides) {
    TimingsOverride quick([](Timings& t) { t.noAnswer = std::chrono::milliseconds(100); });
    ringFromAlice();
    ASSERT_TRUE(waitUntil([&] { return !model->calls().incoming(); }));
    EXPECT_EQ(callsSent("decline").size(), 1u);
    EXPECT_EQ(model->callList().at(0).direction, CallDirection::missed);

    line->open = true;
    model->calls().startCall(kAlice, false);
    ASSERT_TRUE(waitUntil([&] { return !model->calls().active(); }));
    EXPECT_EQ(model->alertMessage(), "No answer.");
    EXPECT_EQ(model->callList().at(0).direction, CallDirection::outgoing);

    // Answered in time: the timer is gone.
    connectedToAlice();
    waitUntil([] { return false; }, 300);
    EXPECT_TRUE(model->calls().active());
}

TEST_F(Calls, TheCallListKeepsTheNewest200) {
    model.reset();
    StoredDatabase db = StoredDatabase::fresh();
    db.account = account();
    for (int i = 0; i < 200; ++i) {
        db.calls.push_back({Uuid::random(), kBob, "old " + std::to_string(i), false,
                            CallDirection::incoming, now(), 0});
    }
    seed(db);
    start();
    ringFromAlice();
    model->calls().declineCall();
    ASSERT_EQ(model->callList().size(), 200u);
    EXPECT_EQ(model->callList().front().number, kAlice);
    EXPECT_EQ(model->callList().back().name, "old 198");
    EXPECT_EQ(stored().calls.size(), 200u);
}

TEST_F(Calls, TheSystemCallScreenAnswersEndsMutesAndMovesAudio) {
    SystemCallBridge& bridge = model->calls().bridge();
    const Uuid id = ringFromAlice();
    bridge.onAnswered(Uuid::random());
    settle();
    EXPECT_TRUE(model->calls().incoming());
    bridge.onAnswered(id);
    settle();
    ASSERT_TRUE(model->calls().active());
    EXPECT_EQ(media->audioStarts, 1);
    bridge.onMute(true);
    settle();
    EXPECT_TRUE(media->muted());

    // The session went away: audio stops and comes back shortly after.
    bridge.onSessionStopped();
    settle();
    EXPECT_FALSE(media->audioReady());
    ASSERT_TRUE(waitUntil([&] { return media->audioReady(); }));

    bridge.onEnded(Uuid::random());
    settle();
    EXPECT_TRUE(model->calls().active());
    bridge.onEnded(id);
    settle();
    EXPECT_FALSE(model->calls().active());
}

TEST_F(Calls, TheCameraButtonTurnsACallIntoVideoAndBack) {
    model->calls().toggleCallVideo();  // no call: nothing
    EXPECT_EQ(media->videoStarts, 0);
    connectedToAlice();
    for (bool on : {true, false}) {
        model->calls().toggleCallVideo();
        EXPECT_EQ(media->videoOn(), on);
        EXPECT_EQ(model->calls().active()->video, on);
    }
    media->camera = false;
    model->calls().toggleCallVideo();
    EXPECT_EQ(model->alertMessage(),
              "Merrowfax needs the camera for video calls. You can allow it in Settings.");
    EXPECT_FALSE(model->calls().active()->video);
}

// Bob, no contact, re-invites whenever his ring times out: he must not hold
// the user, nor learn from answers that the user is there.
TEST_F(Calls, AStrangerRingsOnceAWindowAndLaterInvitationsAreOneSilentMissedCall) {
    TimingsOverride window([](Timings& t) { t.strangerRing = std::chrono::milliseconds(1500); });
    model->people().addContact("Alice", kAlice);
    auto bobInvites = [&] {
        const Uuid id = Uuid::random();
        fromLine(signal("invite", id, kBob, kBob));
        return id;
    };
    auto sentToBob = [&] {
        return std::count_if(line->sent.begin(), line->sent.end(),
                             [](const wire::Envelope& e) { return e.to == kBob; });
    };
    auto missedFromBob = [&] {
        return std::count_if(model->callList().begin(), model->callList().end(),
                             [](const CallRecord& r) {
                                 return r.number == kBob && r.direction == CallDirection::missed;
                             });
    };
    model->calls().noAnswer(bobInvites());  // the 30 seconds ran out
    const auto told = sentToBob();
    for (int i = 0; i < 150; ++i) bobInvites();
    EXPECT_FALSE(model->calls().incoming());
    EXPECT_EQ(sentToBob(), told);
    EXPECT_EQ(missedFromBob(), 2);

    // A contact rings as ever meanwhile; once the window is over Bob may too.
    fromLine(signal("invite", Uuid::random()));
    ASSERT_TRUE(model->calls().incoming());
    EXPECT_EQ(model->calls().incoming()->number, kAlice);
    model->calls().declineCall();
    ASSERT_TRUE(waitUntil(
        [&] {
            bobInvites();
            return model->calls().incoming().has_value();
        },
        4000));
    EXPECT_EQ(model->calls().incoming()->number, kBob);
}

// Properties of the tone, not its formula: 0.2 s of 880 Hz at 16 kHz that
// fades in and out and stays at 45 % of full scale.
TEST(ConnectionTone, IsAShortFadedToneAtItsPitchAndLevel) {
    const auto tone = makeTone(kConnectionToneSamples);
    ASSERT_EQ(tone.size(), 3200u);
    const auto [low, high] = std::minmax_element(tone.begin(), tone.end());
    EXPECT_LE(std::max(-*low, static_cast<int>(*high)), 14746);
    EXPECT_GE(*high, 14500);
    EXPECT_LT(std::abs(tone.front()) + std::abs(tone.back()), 200);
    int crossings = 0;
    for (std::size_t i = 1; i < tone.size(); ++i) crossings += (tone[i - 1] < 0) != (tone[i] < 0);
    EXPECT_NEAR(crossings, 2 * 880 * 0.2, 4);
    EXPECT_TRUE(makeTone(-3).empty());

    const wire::Bytes little = {std::byte{0x34}, std::byte{0x12}, std::byte{0xFE}, std::byte{0xFF}};
    EXPECT_EQ(wireAudio({0x1234, -2}), little);
}

class CallPeer : public Calls {
protected:
    void SetUp() override {
        quick_.emplace([](Timings& t) {
            t.callPeerGone = std::chrono::milliseconds(200);
            t.callPeerCheck = std::chrono::milliseconds(20);
            t.quitDrain = std::chrono::milliseconds(50);
        });
        start();
    }
    void online(std::set<std::string> numbers) {
        fromLine(wire::events::Online{std::move(numbers)});
    }
    std::optional<TimingsOverride> quick_;
};

TEST_F(CallPeer, AConnectedCallEndsOnlyOnceItsPeerIsGoneAndSilent) {
    connectedToAlice();
    // A peer the paths never reported does not end the call.
    EXPECT_FALSE(waitUntil([&] { return !model->calls().active(); }, 400));
    online({kAlice});
    // Quiet but reachable (a muted microphone sends nothing): the call holds.
    EXPECT_FALSE(waitUntil([&] { return !model->calls().active(); }, 400));

    // Gone from every path, but its audio still comes: the call holds.
    online({});
    const wire::Bytes chunk(640, std::byte{1});
    EXPECT_FALSE(waitUntil(
        [&] {
            fromLine(wire::events::Audio{chunk, kAlice});
            return !model->calls().active();
        },
        400));
    // Gone and silent: the call ends on its own and is kept with its time.
    ASSERT_TRUE(waitUntil([&] { return !model->calls().active(); }, 2000));
    ASSERT_EQ(model->callList().size(), 1u);
    EXPECT_EQ(model->callList().front().direction, CallDirection::outgoing);
    EXPECT_GT(model->callList().front().duration, 0.5);
}

TEST_F(CallPeer, ARingingCalleeWhoGoesOfflineDidNotAnswer) {
    online({kAlice});
    line->open = true;
    model->calls().startCall(kAlice, false);
    ASSERT_TRUE(model->calls().active());
    online({});
    EXPECT_FALSE(model->calls().active());
    EXPECT_EQ(model->alertMessage(), "No answer.");
    EXPECT_EQ(model->callList().size(), 1u);
}

TEST_F(CallPeer, QuittingHangsUpAsTheUserWouldAndWaitsForTheEndToGo) {
    connectedToAlice();
    bool done = false;
    model->prepareToQuit([&] { done = true; });
    EXPECT_FALSE(model->calls().active());
    EXPECT_EQ(callsSent("end").size(), 1u);
    EXPECT_EQ(model->callList().size(), 1u);
    EXPECT_FALSE(done) << "the end gets its moment on the wire";
    EXPECT_TRUE(waitUntil([&] { return done; }, 1000));

    bool atOnce = false;  // nothing under way: nothing to wait for
    model->prepareToQuit([&] { atOnce = true; });
    EXPECT_TRUE(atOnce);
}

}  // namespace
