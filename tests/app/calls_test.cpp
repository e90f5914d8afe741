// The call state machine against fake transports: what each step sends,
// records and shows. End-to-end calls through the relay service live with
// the transport tests.
#include <algorithm>

#include "media/connection_tone.h"
#include "model_fixture.h"
#include "platform/timings.h"
#include "wire/base64.h"

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

// Runs the event loop until `done` or about `ms` milliseconds.
bool runUntil(const std::function<bool()>& done, int ms = 3000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return done();
}

class Calls : public ModelTest {
protected:
    // Where call audio goes through the relay now: one chunk sent with the
    // LAN's sessions set aside; nothing when it goes nowhere.
    std::optional<std::string> routedTo() {
        auto sessions = std::exchange(lan->connected, {});
        const std::size_t before = line->audio.size();
        media->callbacks.onAudio(wire::Bytes(640, std::byte{1}));
        lan->connected = std::move(sessions);
        if (line->audio.size() == before) return std::nullopt;
        auto to = line->audio.back().first;
        line->audio.pop_back();
        return to;
    }

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
        return id;
    }

    std::vector<wire::Envelope> callsSent(const std::string& word) const {
        std::vector<wire::Envelope> out;
        for (const auto& e : line->sentWithOp("call")) {
            if (e.call == word) out.push_back(e);
        }
        return out;
    }
};

TEST_F(Calls, ChecksBeforeDialingAlertOrStaySilent) {
    model->calls().startCall("12", false);
    EXPECT_EQ(model->alertMessage(), "That number is not a Merrowfax number.");
    model->calls().startCall("0 1 234 5678", false);
    EXPECT_EQ(model->alertMessage(), "That is your number.");
    model->dismissAlert();

    model->addContact("Bob", kBob);
    model->setBlocked(model->contacts().front().id, true);
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

TEST_F(Calls, PlacingACallInvitesBothPathsAndRoutesMedia) {
    lan->connected = {{"peer-a", kAlice}, {"peer-b", kBob}};
    line->open = true;
    model->calls().startCall("44 1 555 0001", true);

    ASSERT_TRUE(model->calls().active());
    EXPECT_EQ(model->calls().active()->number, kAlice);
    EXPECT_EQ(model->calls().active()->phase, CallPhase::dialing);
    EXPECT_TRUE(model->calls().active()->outgoing);
    EXPECT_TRUE(model->calls().active()->video);
    const auto invites = callsSent("invite");
    ASSERT_EQ(invites.size(), 1u);
    EXPECT_EQ(invites[0].to, kAlice);
    EXPECT_EQ(invites[0].name, "Me");
    EXPECT_EQ(invites[0].id, model->calls().active()->id.text());
    ASSERT_EQ(lan->envelopes.size(), 1u);
    EXPECT_EQ(lan->envelopes[0].second, std::vector<std::string>{"peer-a"});
    EXPECT_EQ(routedTo(), kAlice);
    EXPECT_EQ(walkie->givenWay, 1);
    EXPECT_TRUE(walkie->yielded);

    // A second press while dialing does nothing.
    model->calls().startCall(kBob, false);
    EXPECT_EQ(callsSent("invite").size(), 1u);
}

TEST_F(Calls, WithoutAPathTheCallWaitsThenGivesUpWithARecord) {
    model->calls().startCall(kAlice, false);
    EXPECT_EQ(line->connects, 1);
    EXPECT_FALSE(model->calls().active());
    model->calls().startCall(kAlice, false);  // still waiting: not a second call
    ASSERT_TRUE(runUntil([&] { return model->alertMessage().has_value(); }));
    EXPECT_EQ(model->alertMessage(), "Merrowfax cannot reach the internet right now.");
    ASSERT_EQ(model->callList().size(), 1u);
    EXPECT_EQ(model->callList()[0].direction, CallDirection::outgoing);
    EXPECT_EQ(model->callList()[0].duration, 0);
    EXPECT_TRUE(line->sent.empty());
    EXPECT_EQ(stored().calls, model->callList());

    // The line opening during the wait places the call.
    model->calls().startCall(kAlice, false);
    line->open = true;
    ASSERT_TRUE(runUntil([&] { return model->calls().active().has_value(); }));
    EXPECT_EQ(callsSent("invite").size(), 1u);
}

TEST_F(Calls, AnInvitationRingsOnceAndKeepsRinging) {
    lan->connected = {{"peer-a", kAlice}};
    const Uuid id = Uuid::random();
    auto invite = signal("invite", id, kAlice, "peer-a");
    invite.name = "Alice Liddell";
    fromLan(invite);
    fromLine(signal("invite", id));  // the copy over the relay service

    ASSERT_TRUE(model->calls().incoming());
    EXPECT_EQ(model->calls().incoming()->id, id);
    EXPECT_EQ(model->calls().incoming()->name, "Alice Liddell");
    EXPECT_EQ(model->calls().incoming()->peerKey, "peer-a");
    EXPECT_EQ(walkie->givenWay, 1);
    EXPECT_EQ(routedTo(), kAlice);
    media->callbacks.onAudio(wire::Bytes(640, std::byte{1}));  // call media prefers that device
    EXPECT_EQ(lan->media.back().second, std::vector<std::string>{"peer-a"});
    ASSERT_EQ(sounds->played.size(), 1u);
    ASSERT_TRUE(runUntil([&] { return sounds->played.size() >= 3; }));
    for (auto sound : sounds->played) EXPECT_EQ(sound, SystemSound::ring);
}

TEST_F(Calls, TheSlowerCopyOfAnInvitationNeverRingsAgainOrAnswersBusy) {
    model->addContact("Alice", kAlice);
    lan->connected = {{"peer-a", kAlice}};
    const Uuid answered = Uuid::random();
    fromLan(signal("invite", answered, kAlice, "peer-a"));
    model->calls().answerCall();
    fromLine(signal("invite", answered));  // after the answer
    ASSERT_TRUE(model->calls().active());
    EXPECT_EQ(model->calls().active()->id, answered);
    EXPECT_FALSE(model->calls().incoming());
    EXPECT_TRUE(callsSent("busy").empty());

    model->calls().endCall();
    const Uuid declined = Uuid::random();
    fromLan(signal("invite", declined, kAlice, "peer-a"));
    model->calls().declineCall();
    fromLine(signal("invite", declined));  // after the call is over
    EXPECT_FALSE(model->calls().incoming());
    EXPECT_TRUE(callsSent("busy").empty());
}

TEST_F(Calls, ASecondCallerHearsBusyAndTheRunningCallIsUntouched) {
    model->addContact("Bob", kBob);
    lan->connected = {{"peer-b", kBob}};
    const Uuid first = connectedToAlice();
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
    EXPECT_EQ(model->calls().active()->id, first);
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
    model->addContact("Alice", kAlice);
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
        EXPECT_EQ(model->callList()[0].duration, 0);
        EXPECT_EQ(callsSent("end").size(), i + 1);
        EXPECT_FALSE(walkie->yielded);
        EXPECT_FALSE(routedTo());
    }
}

TEST_F(Calls, TheServicesMissEndsOnlyACallNoPathDelivered) {
    // Alice is reachable on the LAN alone: her device rings there.
    lan->connected = {{"peer-a", kAlice}};
    line->open = true;
    model->calls().startCall(kAlice, false);
    ASSERT_EQ(lan->sentWithOp("call").size(), 1u);
    line->callbacks.onMiss(kAlice);
    settle();
    ASSERT_TRUE(model->calls().active());
    EXPECT_EQ(model->calls().active()->phase, CallPhase::dialing);
    EXPECT_FALSE(model->alertMessage());
    fromLan(signal("accept", model->calls().active()->id, kAlice, "peer-a"));
    EXPECT_EQ(model->calls().active()->phase, CallPhase::active);
}

TEST_F(Calls, SignalsFromAnyoneButTheOtherPartyChangeNothing) {
    const Uuid id = connectedToAlice();
    fromLine(signal("end", id, kBob, kBob));
    fromLine(signal("decline", id, kBob, kBob));
    fromLine(signal("hello", id));
    ASSERT_TRUE(model->calls().active());
    EXPECT_EQ(model->calls().active()->phase, CallPhase::active);

    // Our own number: only "answered" means anything, and only while ringing.
    fromLine(signal("end", id, kOwn, kOwn));
    EXPECT_TRUE(model->calls().active());
}

TEST_F(Calls, CallersNamesAreRememberedButNeverReplacedByTheirNumber) {
    const Uuid id = ringFromAlice();
    EXPECT_EQ(model->directory().at(kAlice), "Alice");
    auto nameless = signal("end", id);
    nameless.name = kAlice;  // how a signal without a name arrives
    fromLine(nameless);
    EXPECT_EQ(model->directory().at(kAlice), "Alice");
    EXPECT_EQ(model->callList().at(0).name, "Alice");

    // Our own signals always carry our name.
    line->open = true;
    model->calls().startCall(kAlice, false);
    model->calls().endCall();
    for (const auto& e : line->sentWithOp("call")) EXPECT_EQ(e.name, "Me") << *e.call;
}

TEST_F(Calls, AnsweringSendsAcceptAndAnsweredThenStartsAudioAndTheTone) {
    lan->connected = {{"peer-a", kAlice}, {"peer-own", kOwn}};
    const Uuid id = Uuid::random();
    fromLan(signal("invite", id, kAlice, "peer-a"));
    model->calls().answerCall();

    ASSERT_TRUE(model->calls().active());
    EXPECT_FALSE(model->calls().incoming());
    EXPECT_EQ(model->calls().active()->phase, CallPhase::active);
    EXPECT_FALSE(model->calls().active()->outgoing);
    EXPECT_TRUE(model->calls().active()->startedAt);
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
    EXPECT_FALSE(model->alertMessage());
    // The tone is heard here and goes to the caller's device, on the LAN
    // while it is in session there.
    const wire::Bytes tone = wireAudio(makeTone(kConnectionToneSamples));
    ASSERT_EQ(media->received.size(), 1u);
    EXPECT_EQ(media->received[0], tone);
    EXPECT_TRUE(line->audio.empty());
    ASSERT_EQ(lan->media.size(), 1u);
    EXPECT_EQ(lan->media[0],
              std::make_pair(wire::FrameKind::audio, std::vector<std::string>{"peer-a"}));

    // The ringing stopped with the answer.
    const auto rings = sounds->played.size();
    runUntil([] { return false; }, 150);
    EXPECT_EQ(sounds->played.size(), rings);
}

TEST_F(Calls, MissingDevicesGiveTheirAlerts) {
    media->microphone = false;
    connectedToAlice();
    settle();
    EXPECT_EQ(model->alertMessage(),
              "Merrowfax needs the microphone for calls. You can allow it in Settings.");
    EXPECT_FALSE(model->calls().active());
    EXPECT_EQ(media->audioStarts, 0);
    ASSERT_EQ(model->callList().size(), 1u);

    media->microphone = true;
    media->starts = false;
    connectedToAlice();
    settle();
    EXPECT_EQ(model->alertMessage(), "The call is connected, but the microphone did not start.");
    EXPECT_TRUE(model->calls().active());
    model->calls().endCall();

    media->starts = true;
    media->camera = false;
    connectedToAlice(true);
    settle();
    EXPECT_EQ(model->alertMessage(), "The camera is off, so this call stays on voice.");
    EXPECT_EQ(media->videoStarts, 0);
    model->calls().endCall();

    media->camera = true;
    connectedToAlice(true);
    settle();
    EXPECT_EQ(media->videoStarts, 1);
    EXPECT_TRUE(media->videoOn());
    model->calls().endCall();
    EXPECT_FALSE(media->videoOn());
    EXPECT_FALSE(media->audioReady());
}

TEST_F(Calls, DecliningAndEndingWhileRingingLeaveMissedRecords) {
    model->addContact("Alice", kAlice);  // rings again at once
    const Uuid first = ringFromAlice(true);
    model->calls().declineCall();
    EXPECT_FALSE(model->calls().incoming());
    ASSERT_EQ(callsSent("decline").size(), 1u);
    EXPECT_EQ(callsSent("decline")[0].id, first.text());
    ASSERT_EQ(model->callList().size(), 1u);
    EXPECT_EQ(model->callList()[0].direction, CallDirection::missed);
    EXPECT_TRUE(model->callList()[0].video);
    // The walkie may talk again once nothing rings.
    EXPECT_FALSE(walkie->yielded);
    EXPECT_FALSE(routedTo());

    // The caller hung up while it rang.
    const Uuid second = ringFromAlice();
    fromLine(signal("end", second));
    EXPECT_FALSE(model->calls().incoming());
    ASSERT_EQ(model->callList().size(), 2u);
    EXPECT_EQ(model->callList()[0].direction, CallDirection::missed);
    EXPECT_TRUE(callsSent("end").empty());
}

TEST_F(Calls, AnsweredOnAnotherDeviceStopsTheRingWithoutARecord) {
    const Uuid id = ringFromAlice();
    fromLine(signal("answered", Uuid::random(), kOwn, kOwn));  // some other call
    EXPECT_TRUE(model->calls().incoming());
    fromLine(signal("answered", id, kOwn, kOwn));
    EXPECT_FALSE(model->calls().incoming());
    EXPECT_TRUE(model->callList().empty());
    EXPECT_FALSE(walkie->yielded);
    const auto rings = sounds->played.size();
    runUntil([] { return false; }, 150);
    EXPECT_EQ(sounds->played.size(), rings);
}

TEST_F(Calls, NobodyAnsweringEndsTheCallOnBothSides) {
    TimingsOverride quick([](Timings& t) { t.noAnswer = std::chrono::milliseconds(100); });
    ringFromAlice();
    ASSERT_TRUE(runUntil([&] { return !model->calls().incoming(); }));
    EXPECT_EQ(callsSent("decline").size(), 1u);
    EXPECT_EQ(model->callList().at(0).direction, CallDirection::missed);

    line->open = true;
    model->calls().startCall(kAlice, false);
    ASSERT_TRUE(runUntil([&] { return !model->calls().active(); }));
    EXPECT_EQ(model->alertMessage(), "No answer.");
    EXPECT_EQ(model->callList().at(0).direction, CallDirection::outgoing);

    // Answered in time: the timer is gone.
    connectedToAlice();
    runUntil([] { return false; }, 300);
    EXPECT_TRUE(model->calls().active());
}

TEST_F(Calls, EndingRecordsTheConnectedTimeAndTellsTheOtherSide) {
    lan->connected = {{"peer-a", kAlice}};
    const Uuid id = Uuid::random();
    fromLan(signal("invite", id, kAlice, "peer-a"));
    model->calls().answerCall();
    runUntil([] { return false; }, 120);
    model->calls().endCall();
    model->calls().endCall();  // nothing left to end

    ASSERT_EQ(model->callList().size(), 1u);
    EXPECT_EQ(model->callList()[0].direction, CallDirection::incoming);
    EXPECT_GE(model->callList()[0].duration, 0.1);
    EXPECT_LT(model->callList()[0].duration, 5);
    ASSERT_EQ(callsSent("end").size(), 1u);
    EXPECT_EQ(lan->envelopes.back().first.call, "end");
    EXPECT_EQ(lan->envelopes.back().second, std::vector<std::string>{"peer-a"});

    ActiveCall future;
    future.startedAt = now() + 3600;
    EXPECT_EQ(CallController::duration(future, now()), 0);
    EXPECT_EQ(CallController::duration(ActiveCall{}, now()), 0);
}

TEST_F(Calls, MediaFlowsOnlyDuringAConnectedCall) {
    lan->connected = {{"peer-a", kAlice}};
    const wire::Bytes chunk(640, std::byte{1});
    media->callbacks.onAudio(chunk);
    EXPECT_TRUE(line->audio.empty());

    fromLine(wire::events::Audio{chunk, kAlice});
    EXPECT_TRUE(media->received.empty());

    connectedToAlice();
    settle();
    media->received.clear();
    line->audio.clear();
    lan->media.clear();
    media->callbacks.onAudio(chunk);
    media->callbacks.onVideo(chunk);
    // Alice's device is in session: the LAN alone carries the call.
    EXPECT_EQ(lan->media.size(), 2u);
    EXPECT_TRUE(line->audio.empty());
    lan->connected.clear();
    media->callbacks.onAudio(chunk);
    media->callbacks.onVideo(chunk);
    ASSERT_EQ(line->audio.size(), 1u);
    ASSERT_EQ(line->frames.size(), 1u);
    EXPECT_EQ(line->frames[0].first, wire::FrameKind::video);
    EXPECT_EQ(line->frames[0].second, kAlice);
    fromLine(wire::events::Audio{chunk, kAlice});
    EXPECT_EQ(media->received.size(), 1u);
}

TEST_F(Calls, OnlyTheOtherPartysMediaIsHeardOrSeen) {
    connectedToAlice();
    settle();
    media->received.clear();
    const wire::Bytes chunk(640, std::byte{1});
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

    // Once the call is over, not even the other party is heard.
    model->calls().endCall();
    fromLine(wire::events::Audio{chunk, kAlice});
    EXPECT_EQ(media->received.size(), 1u);
}

TEST_F(Calls, TheCallListKeepsTheNewest200) {
    model.reset();
    StoredDatabase db = StoredDatabase::fresh();
    db.account = account();
    for (int i = 0; i < 200; ++i) {
        CallRecord r;
        r.id = Uuid::random();
        r.number = kBob;
        r.name = "old " + std::to_string(i);
        r.direction = CallDirection::incoming;
        db.calls.push_back(r);
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
    EXPECT_FALSE(bridge.sessionActive);

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

    bridge.onSessionReady();
    settle();
    EXPECT_EQ(media->audioStarts, 2);

    // The session went away: audio stops and comes back shortly after.
    bridge.onSessionStopped();
    settle();
    EXPECT_FALSE(media->audioReady());
    ASSERT_TRUE(runUntil([&] { return media->audioReady(); }));
    EXPECT_EQ(media->audioStarts, 3);

    bridge.onEnded(Uuid::random());
    settle();
    EXPECT_TRUE(model->calls().active());
    bridge.onEnded(id);
    settle();
    EXPECT_FALSE(model->calls().active());
    EXPECT_EQ(model->callList().at(0).direction, CallDirection::incoming);
}

TEST_F(Calls, TheCameraButtonTurnsACallIntoVideoAndBack) {
    model->calls().toggleCallVideo();  // no call: nothing
    EXPECT_EQ(media->videoStarts, 0);
    connectedToAlice();
    settle();
    model->calls().toggleCallVideo();
    EXPECT_TRUE(media->videoOn());
    EXPECT_TRUE(model->calls().active()->video);
    model->calls().toggleCallVideo();
    EXPECT_FALSE(media->videoOn());
    EXPECT_FALSE(model->calls().active()->video);

    media->camera = false;
    model->calls().toggleCallVideo();
    EXPECT_EQ(model->alertMessage(),
              "Merrowfax needs the camera for video calls. You can allow it in Settings.");
    EXPECT_FALSE(model->calls().active()->video);
}

TEST(ConnectionTone, RampsAn880HzToneAt45PercentOfFullScale) {
    const auto tone = makeTone(kConnectionToneSamples);
    ASSERT_EQ(tone.size(), 3200u);
    EXPECT_EQ(tone.front(), 0);
    // The ramp ends one sample before the end: the last is tiny, not silent.
    EXPECT_LE(std::abs(tone.back()), 100);
    const auto [low, high] = std::minmax_element(tone.begin(), tone.end());
    EXPECT_GE(*high, 14700);
    EXPECT_LE(*high, 14745);
    EXPECT_LE(*low, -14700);
    // The ramp: sample 40 (quarter of the ramp) stays under a quarter of
    // full amplitude.
    EXPECT_LE(std::abs(tone[40]), 14745 / 4 + 1);
    // 880 Hz at 16 kHz: sample 5 is near the top of the first period, and
    // the wave repeats every 200 samples (11 periods).
    EXPECT_NEAR(tone[1005], tone[1205], 1);
    EXPECT_TRUE(makeTone(0).empty());
    EXPECT_TRUE(makeTone(-3).empty());

    const auto bytes = wireAudio({0x1234, -2});
    const wire::Bytes expected = {std::byte{0x34}, std::byte{0x12}, std::byte{0xFE},
                                  std::byte{0xFF}};
    EXPECT_EQ(bytes, expected);
}

}  // namespace

namespace {

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
    online({kAlice});
    connectedToAlice();
    settle();
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

TEST_F(CallPeer, APeerThePathsNeverReportedDoesNotEndTheCall) {
    connectedToAlice();
    EXPECT_FALSE(waitUntil([&] { return !model->calls().active(); }, 500));
}

TEST_F(CallPeer, ARingingCalleeWhoGoesOfflineDidNotAnswer) {
    online({kAlice});
    line->open = true;
    model->calls().startCall(kAlice, false);
    ASSERT_TRUE(model->calls().active());
    online({});
    EXPECT_FALSE(model->calls().active());
    EXPECT_EQ(model->alertMessage(), "No answer.");
    ASSERT_EQ(model->callList().size(), 1u);
    EXPECT_EQ(model->callList().front().duration, 0);
}

TEST_F(CallPeer, QuittingHangsUpAsTheUserWouldAndWaitsForTheEndToGo) {
    connectedToAlice();
    settle();
    bool done = false;
    model->prepareToQuit([&] { done = true; });
    EXPECT_FALSE(model->calls().active());
    EXPECT_EQ(callsSent("end").size(), 1u);
    EXPECT_EQ(model->callList().size(), 1u);
    EXPECT_FALSE(done) << "the end gets its moment on the wire";
    EXPECT_TRUE(waitUntil([&] { return done; }, 1000));

    // Nothing under way: nothing to wait for.
    bool atOnce = false;
    model->prepareToQuit([&] { atOnce = true; });
    EXPECT_TRUE(atOnce);
}

}  // namespace

namespace {

// Bob, no contact, re-invites whenever his ring times out: he must not hold
// the user, nor learn from answers that the user is there.
TEST_F(Calls, AStrangerRingsOnceAWindowAndLaterInvitationsAreOneSilentMissedCall) {
    TimingsOverride window([](Timings& t) { t.strangerRing = std::chrono::milliseconds(1500); });
    model->addContact("Alice", kAlice);
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

}  // namespace
