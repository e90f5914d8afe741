#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>

#include "media/connection_tone.h"
#include "media/device_call_media.h"
#include "media_fakes.h"
#include "support/goertzel.h"

namespace merrowfax::testing {
namespace {

class CallAudio : public ::testing::Test {
protected:
    CallAudio() {
        DeviceCallMedia::Devices devices;
        devices.microphone = [this]() -> std::unique_ptr<AudioSource> {
            if (!microphoneThere) return nullptr;
            ++opened;
            auto mic = std::make_unique<HandMicrophone>(AudioFormat{48000, 2});
            microphone = mic.get();
            return mic;
        };
        devices.speaker = [this] {
            auto made = std::make_unique<RecordingSpeaker>();
            speaker = made.get();
            return made;
        };
        media = std::make_unique<DeviceCallMedia>(std::move(devices));
        media->setCallbacks({[this](wire::Bytes chunk) { sent.push_back(std::move(chunk)); }, {}});
    }

    // One 1 024-frame buffer at 48 kHz stereo: a 1 kHz tone of `peak`.
    void speak(std::int16_t peak) { speakTone(1024, 1000, peak); }
    // `count` frames at 48 kHz stereo of a tone that goes on from the last.
    void speakTone(std::size_t count, double hz, double peak) {
        std::vector<std::int16_t> frames(2 * count);
        for (std::size_t i = 0; i < count; ++i, ++clock) {
            frames[2 * i] = frames[2 * i + 1] = static_cast<std::int16_t>(
                peak * std::sin(2 * std::numbers::pi * hz * static_cast<double>(clock) / 48000));
        }
        microphone->speak(frames);
    }
    std::vector<std::int16_t> sentSamples() const {
        std::vector<std::int16_t> all;
        for (const auto& chunk : sent) {
            const auto samples = wireSamples(chunk);
            all.insert(all.end(), samples.begin(), samples.end());
        }
        return all;
    }

    bool microphoneThere = true;
    std::size_t clock = 0;  // frames spoken
    int opened = 0;
    HandMicrophone* microphone = nullptr;
    RecordingSpeaker* speaker = nullptr;
    std::vector<wire::Bytes> sent;
    std::unique_ptr<DeviceCallMedia> media;
};

TEST_F(CallAudio, TheMicrophoneIsSentWithGainButNeverSilenceNorWhileMuted) {
    ASSERT_TRUE(media->startAudio());
    EXPECT_TRUE(media->audioReady());
    speak(0);
    EXPECT_TRUE(sent.empty()) << "digital silence";
    for (int i = 0; i < 3; ++i) speak(1000);
    ASSERT_FALSE(sent.empty());
    std::size_t samples = 0;
    for (const auto& chunk : sent) samples += chunk.size() / 2;
    // Three buffers of 341 wire samples, give or take what waits for a whole
    // 10 ms frame.
    EXPECT_GE(samples, 3 * 341 - EchoCanceller::kFrame);
    EXPECT_LE(samples, 3 * 341 + EchoCanceller::kFrame);
    EXPECT_GT(peakOf(std::span<const std::byte>(sent.back())), 1000);  // the gain

    sent.clear();
    media->setMuted(true);
    for (int i = 0; i < 3; ++i) speak(1000);
    EXPECT_TRUE(sent.empty());
    media->setMuted(false);
    for (int i = 0; i < 3; ++i) speak(1000);
    EXPECT_FALSE(sent.empty());
}

TEST_F(CallAudio, AToneStaysOneSineAcrossBuffersOfAnySize) {
    ASSERT_TRUE(media->startAudio());
    // Buffers that end mid-frame of the echo canceller and mid-step of the
    // rate conversion.
    for (std::size_t size : {1024, 480, 999, 441, 1500, 960, 333, 2048, 1024, 777, 1200}) {
        speakTone(size, 700, 6000);
    }
    const auto wire = sentSamples();
    ASSERT_GE(wire.size(), 3000u);
    // After the canceller's first frames, nearly all power sits at 700 Hz: a
    // lost, repeated or misplaced piece at a boundary would spread it.
    const std::span<const std::int16_t> settled(wire.begin() + 800, wire.end());
    double meanSquare = 0;
    for (std::int16_t v : settled) meanSquare += (v / 32768.0) * (v / 32768.0);
    meanSquare /= static_cast<double>(settled.size());
    EXPECT_GT(2 * tonePower(settled, 16000, 700) / meanSquare, 0.9);
    EXPECT_NEAR(peakOf(settled), 6000 * DeviceCallMedia::kMicrophoneGain, 1500) << "the gain";
}

TEST_F(CallAudio, ChunksWaitingForTheStartKeepTheNewest40InOrder) {
    media->receiveAudio(wire::Bytes(1));  // too short to be audio
    for (int i = 0; i < 50; ++i) media->receiveAudio(wireAudio({static_cast<std::int16_t>(i), 7}));
    ASSERT_TRUE(media->startAudio());
    const auto played = speaker->chunks();
    ASSERT_EQ(played.size(), 40u);
    for (int i = 0; i < 40; ++i) EXPECT_EQ(played[i][0], 10 + i);

    // Running: played at once.
    media->receiveAudio(wireAudio({99, 98}));
    EXPECT_EQ(speaker->chunks().size(), 41u);
    // Stopping drops what waits.
    media->stopAudio();
    EXPECT_FALSE(media->audioReady());
    media->receiveAudio(wireAudio({1, 1}));
    media->stopAudio();
    ASSERT_TRUE(media->startAudio());
    EXPECT_TRUE(speaker->chunks().empty()) << "a new speaker, nothing played";
}

TEST_F(CallAudio, WithoutAMicrophoneAudioIsNotReadyAndTheSpeakerStaysOn) {
    microphoneThere = false;
    EXPECT_FALSE(media->startAudio());
    EXPECT_FALSE(media->audioReady());
    media->setSpeaker(false);
    EXPECT_TRUE(media->speakerOn()) << "a desktop always plays aloud";
    microphoneThere = true;
    EXPECT_TRUE(media->startAudio());
    // A second start replaces the devices.
    EXPECT_TRUE(media->startAudio());
    EXPECT_EQ(opened, 2);
}

}  // namespace
}  // namespace merrowfax::testing
