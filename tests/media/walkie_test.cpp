#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <QElapsedTimer>

#include "media/connection_tone.h"
#include "media/device_walkie_talk.h"
#include "media/walkie_audio.h"
#include "media/wire_audio.h"
#include "media_fakes.h"
#include "platform/timings.h"
#include "support/goertzel.h"

namespace merrowfax::testing {
namespace {

TEST(WalkieStatic, IsOneFixedBurstOfBroadbandNoiseThatFadesOut) {
    const wire::Bytes& burst = staticBurst();
    EXPECT_EQ(&staticBurst(), &burst) << "made once";
    const std::vector<std::int16_t> s = wireSamples(burst);
    ASSERT_EQ(s.size(), 6400u);  // 0.4 s
    const std::span<const std::int16_t> all(s);
    // Noise at most 0.28 of full scale, with energy across the voice band.
    EXPECT_LE(peakOf(all), 0.28 * 32768);
    EXPECT_GT(peakOf(all.first(1280)), 0.2 * 32768);
    for (const double hz : {300.0, 1000.0, 2500.0, 5000.0})
        EXPECT_GT(tonePower(all.first(5120), 16000, hz), 1e-8) << hz;
    // Full level up to the last 1280 samples, then down to nothing.
    EXPECT_GT(peakOf(all.subspan(3840, 1280)), 0.2 * 32768);
    EXPECT_LT(peakOf(all.last(64)), peakOf(all.subspan(5120, 64)) / 10);
}

// The factor shows in the heard talks below; here that loud audio stops at
// full scale instead of wrapping round, and a stray odd byte is dropped.
TEST(WalkieBoost, ClampsToTheFull16BitRange) {
    wire::Bytes loud = wireAudio({20000, -20000});
    loud.push_back(std::byte{7});
    EXPECT_EQ(wireSamples(boostForSpeaker(loud)), (std::vector<std::int16_t>{32767, -32768}));
}

// A wire-format speaker that keeps everything it plays, as one stream.
class TapeSpeaker final : public AudioSink {
public:
    explicit TapeSpeaker(std::atomic<int>& stops) : stops_(stops) {}
    AudioFormat format() const override { return kWireAudioFormat; }
    bool start() override {
        ++starts;
        return true;
    }
    void play(std::span<const std::int16_t> samples) override {
        std::lock_guard lock(mutex_);
        tape_.insert(tape_.end(), samples.begin(), samples.end());
    }
    void stop() override { ++stops_; }
    std::vector<std::int16_t> tape() {
        std::lock_guard lock(mutex_);
        return tape_;
    }
    std::atomic<int> starts = 0;

private:
    std::atomic<int>& stops_;
    std::mutex mutex_;
    std::vector<std::int16_t> tape_;
};

const QString kResting = QStringLiteral("Hold to talk. It plays on the speaker.");

class Walkie : public ::testing::Test {
protected:
    Walkie() : saved_(timings()) {
        Timings t = saved_;
        t.walkieTapDelay = std::chrono::milliseconds(200);
        t.walkieSilence = std::chrono::milliseconds(300);
        t.walkieTrailing = std::chrono::milliseconds(200);
        t.walkieSilenceMin = std::chrono::milliseconds(50);
        setTimings(t);
        DeviceWalkieTalk::Devices devices;
        devices.microphone = [this]() -> std::unique_ptr<AudioSource> {
            ++micsOpened;
            return std::make_unique<HandMicrophone>(kWireAudioFormat, &microphone);
        };
        devices.speaker = [this]() -> std::unique_ptr<AudioSink> {
            if (!speakerThere) return nullptr;
            ++speakersOpened;
            auto made = std::make_unique<TapeSpeaker>(speakerStops);
            speaker = made.get();
            return made;
        };
        walkie = std::make_unique<DeviceWalkieTalk>(std::move(devices));
        walkie->setCallbacks({[this](wire::Bytes chunk) { sent.push_back(std::move(chunk)); },
                              [this](bool on) {
                                  talking.push_back(on);
                              }});
        QObject::connect(walkie.get(), &WalkieTalk::statusChanged,
                         [this] { statuses.push_back(walkie->status()); });
    }
    ~Walkie() override {
        walkie.reset();
        setTimings(saved_);
    }

    static std::vector<std::int16_t> join(std::initializer_list<std::vector<std::int16_t>> parts) {
        std::vector<std::int16_t> all;
        for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
        return all;
    }

    Timings saved_;
    bool speakerThere = true;
    int micsOpened = 0;
    int speakersOpened = 0;
    std::atomic<int> speakerStops = 0;
    HandMicrophone* microphone = nullptr;
    TapeSpeaker* speaker = nullptr;
    std::vector<wire::Bytes> sent;
    std::vector<bool> talking;
    std::vector<QString> statuses;
    std::unique_ptr<DeviceWalkieTalk> walkie;
};

TEST_F(Walkie, TheMicrophoneOpensAfterTheDelayAndSendsEveryChunkUnchangedIncludingSilence) {
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(walkie->pressTalk());
    EXPECT_TRUE(walkie->transmitting());
    EXPECT_EQ(walkie->status(), QStringLiteral("Talking"));
    EXPECT_EQ(talking, std::vector<bool>{true});
    EXPECT_EQ(micsOpened, 0) << "nothing is captured before the delay";
    ASSERT_TRUE(spinUntil([&] { return micsOpened == 1; }));
    EXPECT_GE(clock.elapsed(), 150);  // a coarse timer may fire a little early

    const std::vector<std::int16_t> voice{1000, -1000, 32767, -32768, 5};
    const std::vector<std::int16_t> quiet(320, 0);
    microphone->speak(voice);
    microphone->speak(quiet);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], wireAudio(voice)) << "no gain";
    EXPECT_EQ(sent[1], wireAudio(quiet)) << "silence is sent too";

    walkie->releaseTalk();
    EXPECT_FALSE(walkie->transmitting());
    EXPECT_EQ(walkie->status(), kResting);
    EXPECT_EQ(talking, (std::vector<bool>{true, false}));
    EXPECT_EQ(microphone, nullptr) << "closed until the next press";
}

TEST_F(Walkie, AHeardTalkTakesChunksFromANetworkThreadBehindItsOpeningStatic) {
    const wire::Bytes chunk = wireAudio(std::vector<std::int16_t>(320, 1000));
    const auto fromThread = [&] {
        bool played = false;
        std::thread network([&] { played = walkie->hearChunk(chunk); });
        network.join();
        return played;
    };
    EXPECT_FALSE(fromThread()) << "no talk is heard yet";
    walkie->startHearing("Ann");
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(fromThread());
    const std::vector<std::int16_t> burst = wireSamples(staticBurst());
    const std::vector<std::int16_t> voice(3 * 320, 2750);  // boosted
    const std::vector<std::int16_t> opening = join({burst, voice});
    ASSERT_TRUE(spinUntil([&] { return speaker->tape().size() >= opening.size(); }));
    const auto tape = speaker->tape();
    EXPECT_EQ(std::vector<std::int16_t>(tape.begin(), tape.begin() + opening.size()), opening);

    walkie->silenceEnded();
    EXPECT_FALSE(fromThread()) << "nothing follows the closing static";
    ASSERT_TRUE(walkie->pressTalk());
    walkie->startHearing("Ann");
    EXPECT_FALSE(fromThread()) << "talking and hearing exclude each other";
}

TEST_F(Walkie, AReleaseBeforeTheDelayNeverOpensTheMicrophone) {
    ASSERT_TRUE(walkie->pressTalk());
    walkie->releaseTalk();
    QElapsedTimer clock;
    clock.start();
    spinUntil([&] { return clock.elapsed() > 400; }, 600);
    EXPECT_EQ(micsOpened, 0);
}

TEST_F(Walkie, AHeardTalkIsFramedByStaticAndTheBarRestsAfterTheClosingStatic) {
    QElapsedTimer clock;
    clock.start();
    const wire::Bytes chunk = wireAudio(std::vector<std::int16_t>(320, 1000));
    walkie->receiveChunk(chunk, "Ann");
    EXPECT_EQ(walkie->hearing(), QStringLiteral("Ann"));
    EXPECT_EQ(walkie->status(), QStringLiteral("Ann on the speaker"));

    const std::vector<std::int16_t> burst = wireSamples(staticBurst());
    const std::vector<std::int16_t> voice(320, 2750);  // boosted
    const auto handed = [&] {
        return speaker->tape().size() + walkie->playerBacklog();
    };
    ASSERT_TRUE(spinUntil([&] { return walkie->status() == kResting; }));
    // 0.3 s of quiet, then the closing static, and 0.2 s later the rest.
    EXPECT_GE(clock.elapsed(), 450);
    // A piece on its way to the speaker may count in both for a moment.
    EXPECT_GE(handed(), 2 * burst.size() + voice.size());
    EXPECT_TRUE(walkie->hearing().isEmpty());
    EXPECT_EQ(statuses, (std::vector<QString>{QStringLiteral("Ann on the speaker"), kResting}));

    ASSERT_TRUE(spinUntil([&] { return walkie->playerBacklog() == 0; }));
    EXPECT_EQ(speaker->tape(), join({burst, voice, burst}));
    EXPECT_EQ(speakersOpened, 1);
    EXPECT_EQ(speakerStops, 0) << "the speaker stays open between talks";

    // A stored clip: static, clip, static, even from a nameless talker.
    walkie->playClip(wireAudio({100, -100}), " ");
    EXPECT_EQ(walkie->status(), QStringLiteral("Merrowfax on the speaker"));
    ASSERT_TRUE(spinUntil([&] { return walkie->status() == kResting; }));
    ASSERT_TRUE(spinUntil([&] { return walkie->playerBacklog() == 0; }));
    EXPECT_EQ(speaker->tape(), join({burst, voice, burst, burst, {275, -275}, burst}));
}

TEST_F(Walkie, ATalkEndedByItsTalkerGetsItsStaticAtOnceBehindTheAudioStillToPlay) {
    const std::vector<std::int16_t> burst = wireSamples(staticBurst());
    // A second of talk that arrived in a rush: most of it waits in the player.
    const std::vector<std::int16_t> piece(1600, 1000);
    for (int i = 0; i < 10; ++i) walkie->receiveChunk(wireAudio(piece), "Ann");
    ASSERT_NE(speaker, nullptr);

    const std::size_t before = walkie->playerBacklog();
    walkie->silenceEnded();
    const std::size_t after = walkie->playerBacklog();
    // Queued now, not 0.3 s later; the player may take a few ms meanwhile.
    EXPECT_LE(after, before + burst.size());
    EXPECT_GE(after + 1600, before + burst.size());

    // The bar rests only once the talk has been heard, not 0.2 s after the end.
    const std::size_t talk = burst.size() + 10 * piece.size();
    ASSERT_TRUE(spinUntil([&] { return walkie->status() == kResting; }));
    EXPECT_GE(speaker->tape().size(), talk);

    ASSERT_TRUE(spinUntil([&] { return walkie->playerBacklog() == 0; }));
    const std::vector<std::int16_t> voice(10 * piece.size(), 2750);  // boosted
    EXPECT_EQ(speaker->tape(), join({burst, voice, burst})) << "nothing of the talk is cut";
}

TEST_F(Walkie, ChunksHeardWhileTalkingAreDropped) {
    ASSERT_TRUE(walkie->pressTalk());
    walkie->receiveChunk(wireAudio({1, 2, 3}), "Ann");
    EXPECT_EQ(walkie->hearing(), QString());
    EXPECT_EQ(walkie->queuedClips(), 0u);
    EXPECT_EQ(walkie->playerBacklog(), 0u);
    EXPECT_TRUE(speaker == nullptr || speaker->tape().empty());
}

TEST_F(Walkie, GivingWayStopsTalkingAndHearingAndAYieldedPressDoesNothing) {
    walkie->receiveChunk(wireAudio(std::vector<std::int16_t>(320, 1000)), "Ann");
    ASSERT_NE(speaker, nullptr);
    ASSERT_TRUE(spinUntil([&] { return !speaker->tape().empty(); }));
    walkie->setYielded(true);
    walkie->giveWay();
    EXPECT_EQ(walkie->status(), kResting);
    EXPECT_TRUE(walkie->hearing().isEmpty());
    EXPECT_EQ(speakerStops, 1);
    EXPECT_EQ(walkie->playerBacklog(), 0u);

    EXPECT_FALSE(walkie->pressTalk());
    EXPECT_FALSE(walkie->transmitting());
    walkie->receiveChunk(wireAudio({1, 2}), "Ann");
    EXPECT_EQ(walkie->status(), kResting);
    QElapsedTimer clock;
    clock.start();
    spinUntil([&] { return clock.elapsed() > 400; }, 600);
    EXPECT_EQ(micsOpened, 0);
    EXPECT_EQ(speakersOpened, 1) << "a call holds the audio";

    // After the call the walkie talks again; giving way mid-talk ends it.
    walkie->setYielded(false);
    ASSERT_TRUE(walkie->pressTalk());
    ASSERT_TRUE(spinUntil([&] { return micsOpened == 1; }));
    walkie->setYielded(true);
    walkie->giveWay();
    EXPECT_FALSE(walkie->transmitting());
    EXPECT_EQ(talking, (std::vector<bool>{true, false}));
    EXPECT_EQ(microphone, nullptr);
}

TEST_F(Walkie, AFloodOfChunksKeepsMemoryBounded) {
    const wire::Bytes chunk = wireAudio(std::vector<std::int16_t>(1000, 1));
    for (int i = 0; i < 3000; ++i) walkie->receiveChunk(chunk, "Ann");  // over 3 minutes
    EXPECT_LE(walkie->playerBacklog(), PacedPlayer::kMaxBacklog);

    // With no speaker the clips wait, the newest 40 of them.
    walkie->setYielded(true);
    walkie->giveWay();
    walkie->setYielded(false);
    speakerThere = false;
    for (int i = 0; i < 100; ++i) {
        walkie->receiveChunk(wireAudio({static_cast<std::int16_t>(i), 0}), "Ann");
    }
    EXPECT_EQ(walkie->queuedClips(), DeviceWalkieTalk::kMaxQueuedClips);
}

}  // namespace
}  // namespace merrowfax::testing
