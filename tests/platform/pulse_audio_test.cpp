#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/device_choice.h"
#include "platform/pulse_audio.h"
#include "platform/wav_file.h"
#include "support/goertzel.h"
#include "support/pulse_server.h"

namespace merrowfax {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::PulseServer;

#define SKIP_WITHOUT_PULSEAUDIO() \
    if (!PulseServer::available()) GTEST_SKIP() << "pulseaudio is not installed"

// Everything a microphone delivers, from its backend thread.
struct Capture {
    std::mutex mutex;
    std::vector<std::int16_t> samples;
    std::size_t chunks = 0;
    std::size_t largestChunk = 0;
    bool wholeFrames = true;
    int channels = 1;

    AudioSource::OnChunk sink() {
        return [this](std::span<const std::int16_t> chunk) {
            std::lock_guard lock(mutex);
            samples.insert(samples.end(), chunk.begin(), chunk.end());
            ++chunks;
            largestChunk = std::max(largestChunk, chunk.size());
            wholeFrames = wholeFrames && chunk.size() % static_cast<std::size_t>(channels) == 0;
        };
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return chunks;
    }
    // Samples after the first loud one (the pipe delivers silence at first).
    std::vector<std::int16_t> heard() {
        std::lock_guard lock(mutex);
        auto loud = std::find_if(samples.begin(), samples.end(),
                                 [](std::int16_t s) { return std::abs(s) > 1000; });
        return {loud, samples.end()};
    }
};

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    const auto deadline = Clock::now() + limit;
    while (!done() && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    return done();
}

// 440 Hz carries far more power than its neighbours.
void expectTone440(std::span<const std::int16_t> mono, int rate) {
    const double tone = testing::tonePower(mono, rate, 440);
    EXPECT_GT(tone, 0.01) << "a 0.5 amplitude tone has power 0.0625";
    for (double other : {300.0, 700.0, 1000.0}) {
        EXPECT_GT(tone, 50 * testing::tonePower(mono, rate, other)) << other << " Hz";
    }
}

TEST(PulseDevices, MicrophoneCapturesTheToneFedIntoTheSourceAtItsOwnFormat) {
    SKIP_WITHOUT_PULSEAUDIO();
    PulseServer server;
    testing::ToneFeeder tone(server, 440);
    auto microphone = openMicrophone(PulseServer::microphoneName());
    ASSERT_TRUE(microphone);
    EXPECT_EQ(microphone->format(), (AudioFormat{48000, 2}));

    Capture capture;
    capture.channels = 2;
    ASSERT_TRUE(microphone->start(capture.sink()));
    ASSERT_TRUE(waitFor([&] { return capture.heard().size() >= 48000u; })) << server.log();
    auto* pulse = dynamic_cast<PulseMicrophone*>(microphone.get());
    ASSERT_TRUE(pulse);
    const auto report = pulse->report();
    ASSERT_TRUE(report);
    EXPECT_GT(report->granted.fragsize, 0u);
    microphone->stop();

    EXPECT_TRUE(capture.wholeFrames);
    EXPECT_LE(capture.largestChunk, 960u * 2) << "at most 20 ms a chunk";
    const auto heard = capture.heard();
    expectTone440(testing::channelOf(heard, 2), 48000);
    const std::size_t stopped = capture.count();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(capture.count(), stopped) << "nothing after stop()";
}

TEST(PulseDevices, TheSpeakerReportsEverySampleItTakesSilenceIncludedAndCountsTheUnderrun) {
    SKIP_WITHOUT_PULSEAUDIO();
    PulseServer server;
    auto speaker = openPulseSpeaker(PulseServer::speakerName());
    ASSERT_TRUE(speaker);
    std::mutex mutex;
    std::vector<std::int16_t> taken;
    std::atomic<int> underruns = 0;
    speaker->setOnPlayed([&](std::span<const std::int16_t> samples) {
        std::lock_guard lock(mutex);
        taken.insert(taken.end(), samples.begin(), samples.end());
    });
    speaker->setOnUnderrun([&] { ++underruns; });
    ASSERT_TRUE(speaker->start());

    // 100 ms at once, every sample different and none silent.
    std::vector<std::int16_t> ramp(1600);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::int16_t>(i + 1);
    speaker->play(ramp);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(mutex);
        return taken.size() >= 16000u;  // a second, at the device's pace
    })) << server.log();
    speaker->stop();

    std::lock_guard lock(mutex);
    std::vector<std::int16_t> audio;
    std::copy_if(taken.begin(), taken.end(), std::back_inserter(audio),
                 [](std::int16_t s) { return s != 0; });
    EXPECT_EQ(audio, ramp) << "in order, once, and silence around it";
    EXPECT_EQ(speaker->underruns(), 1u) << "the audio ran out once";
    EXPECT_EQ(underruns, 1);
}

TEST(PulseDevices, DevicesAreChosenByNameOrDescriptionAndMissingOnesFailFast) {
    SKIP_WITHOUT_PULSEAUDIO();
    PulseServer server({.clients = 2});

    EXPECT_TRUE(openMicrophone(PulseServer::microphoneName(1)));
    EXPECT_TRUE(openMicrophone(PulseServer::microphoneDescription(1)));
    EXPECT_TRUE(openMicrophone(PulseServer::speakerName(0) + ".monitor"));
    EXPECT_TRUE(openSpeaker(PulseServer::speakerName(1)));
    EXPECT_TRUE(openSpeaker(PulseServer::speakerDescription(0)));
    EXPECT_FALSE(openSpeaker(PulseServer::microphoneName(0))) << "a source is no speaker";

    const auto started = Clock::now();
    EXPECT_FALSE(openMicrophone("no such microphone"));
    EXPECT_FALSE(openSpeaker("no such speaker"));
    EXPECT_LT(Clock::now() - started, 1s);

    const auto list = listAudioDevices();
    const auto has = [](const std::vector<AudioDeviceInfo>& devices, const std::string& name,
                        const std::string& description) {
        return std::any_of(devices.begin(), devices.end(), [&](const AudioDeviceInfo& d) {
            return d.name == name && d.description == description;
        });
    };
    EXPECT_TRUE(has(list.inputs, "mic1", "Test Microphone 1"));
    EXPECT_TRUE(has(list.inputs, "speaker0.monitor", "Monitor of Test Speaker 0"));
    EXPECT_TRUE(has(list.outputs, "speaker1", "Test Speaker 1"));
    EXPECT_EQ(list.outputs.size(), 2u);
}

TEST(PulseDevices, WithoutASoundServerNothingOpensAndNothingWaits) {
    QTemporaryDir dir;
    const char* old = std::getenv("PULSE_SERVER");
    const std::string previous = old ? old : "";
    ::setenv("PULSE_SERVER", ("unix:" + dir.path().toStdString() + "/none").c_str(), 1);
    const auto started = Clock::now();
    EXPECT_FALSE(openMicrophone(""));
    EXPECT_FALSE(openSpeaker(""));
    const auto list = listAudioDevices();
    EXPECT_TRUE(list.inputs.empty() && list.outputs.empty());
    EXPECT_LT(Clock::now() - started, 1s);
    PulseSpeaker speaker("");
    EXPECT_FALSE(speaker.start());
    speaker.play(std::vector<std::int16_t>(320));
    if (old) {
        ::setenv("PULSE_SERVER", previous.c_str(), 1);
    } else {
        ::unsetenv("PULSE_SERVER");
    }
}

TEST(PulseDevices, AServerKilledMidCallStopsTheDevicesWithoutHangingAndAReturnWorks) {
    SKIP_WITHOUT_PULSEAUDIO();
    auto server = std::make_unique<PulseServer>();
    auto tone = std::make_unique<testing::ToneFeeder>(*server, 440);
    auto microphone = openMicrophone(PulseServer::microphoneName());
    auto speaker = openSpeaker(PulseServer::speakerName());
    ASSERT_TRUE(microphone && speaker);
    Capture capture;
    capture.channels = 2;
    ASSERT_TRUE(microphone->start(capture.sink()));
    ASSERT_TRUE(speaker->start());
    ASSERT_TRUE(waitFor([&] { return capture.count() >= 5; }));

    server->kill();
    for (int i = 0; i < 20; ++i) {
        speaker->play(std::vector<std::int16_t>(320, 1000));
        std::this_thread::sleep_for(10ms);
    }
    const std::size_t afterKill = capture.count();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(capture.count(), afterKill) << "a dead server delivers nothing";
    const auto stopping = Clock::now();
    microphone->stop();
    speaker->stop();
    EXPECT_LT(Clock::now() - stopping, 1s);
    EXPECT_FALSE(microphone->start(capture.sink()));
    tone.reset();
    server.reset();

    // A server back (here a new one) serves the same objects and new ones.
    PulseServer again;
    testing::ToneFeeder toneAgain(again, 440);
    Capture more;
    more.channels = 2;
    ASSERT_TRUE(microphone->start(more.sink()));
    EXPECT_TRUE(speaker->start());
    EXPECT_TRUE(waitFor([&] { return more.count() >= 5; }));
    microphone->stop();
    EXPECT_TRUE(openMicrophone(""));
}

TEST(FileMicrophone, LoopsTheFileInRealTimeWithoutAnEventLoop) {
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("clip.wav")).toStdString();
    std::vector<std::int16_t> clip(1000);  // 62.5 ms: chunks straddle the loop point
    for (std::size_t i = 0; i < clip.size(); ++i) clip[i] = static_cast<std::int16_t>(i + 1);
    const auto wav = makeWav(kWireAudioFormat, clip);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(wav.data()), static_cast<std::streamsize>(wav.size()));

    auto microphone = openMicrophone("file:" + path);
    ASSERT_TRUE(microphone);
    EXPECT_EQ(microphone->format(), kWireAudioFormat);
    Capture capture;
    const auto started = Clock::now();
    ASSERT_TRUE(microphone->start(capture.sink()));
    std::this_thread::sleep_for(500ms);
    const auto count = capture.count();
    const auto elapsed = Clock::now() - started;
    microphone->stop();

    const auto chunksDue = static_cast<std::size_t>(elapsed / 20ms);
    EXPECT_LE(count, chunksDue + 1) << "never ahead of real time";
    EXPECT_GE(count, chunksDue / 3) << "and not far behind";
    const auto stopped = capture.count();
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(capture.count(), stopped) << "nothing after stop()";

    std::lock_guard lock(capture.mutex);
    EXPECT_EQ(capture.largestChunk, 320u);
    ASSERT_GT(capture.samples.size(), 2 * clip.size());
    for (std::size_t i = 0; i < capture.samples.size(); ++i) {
        ASSERT_EQ(capture.samples[i], clip[i % clip.size()]) << "sample " << i;
    }
    EXPECT_FALSE(openMicrophone("file:" + path + ".missing"));
}

}  // namespace
}  // namespace merrowfax
