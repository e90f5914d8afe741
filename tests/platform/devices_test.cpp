#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <vector>

#include "platform/audio_devices.h"
#include "platform/camera.h"
#include "platform/wav_file.h"

namespace merrowfax {
namespace {

bool runUntil(const std::function<bool()>& done, int ms = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return done();
}

TEST(HeadlessDevices, WavMicrophoneDeliversTheClipInWholeChunksThenSilence) {
    QTemporaryDir dir;
    const std::filesystem::path input = dir.filePath(QStringLiteral("in.wav")).toStdString();
    const AudioFormat stereo{8000, 2};
    std::vector<std::int16_t> clip(500 * 2);  // 500 frames: three 160-frame chunks and a part
    for (std::size_t i = 0; i < clip.size(); ++i) clip[i] = static_cast<std::int16_t>(i + 1);
    const auto file = makeWav(stereo, clip);
    std::ofstream(input, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));

    auto microphone = ClipMicrophone::fromWav(input);
    ASSERT_TRUE(microphone);
    EXPECT_EQ(microphone->format(), stereo);
    std::vector<std::vector<std::int16_t>> chunks;
    ASSERT_TRUE(microphone->start(
        [&](std::span<const std::int16_t> c) { chunks.emplace_back(c.begin(), c.end()); }));
    ASSERT_TRUE(runUntil([&] { return chunks.size() >= 5; }));
    microphone->stop();
    const std::size_t stopped = chunks.size();

    std::vector<std::int16_t> heard;
    for (const auto& c : chunks) {
        EXPECT_EQ(c.size(), 160u * 2) << "20 ms of whole frames";
        heard.insert(heard.end(), c.begin(), c.end());
    }
    EXPECT_TRUE(std::equal(clip.begin(), clip.end(), heard.begin()));
    EXPECT_TRUE(std::all_of(heard.begin() + static_cast<std::ptrdiff_t>(clip.size()), heard.end(),
                            [](std::int16_t s) { return s == 0; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(chunks.size(), stopped) << "nothing after stop()";

    std::ofstream(dir.filePath(QStringLiteral("bad.wav")).toStdString()) << "RIFF, but not really";
    EXPECT_FALSE(ClipMicrophone::fromWav(dir.filePath(QStringLiteral("bad.wav")).toStdString()));
}

TEST(HeadlessDevices, WavSpeakerWritesAReadableFileEachStart) {
    QTemporaryDir dir;
    const std::filesystem::path output = dir.filePath(QStringLiteral("out.wav")).toStdString();
    const std::vector<std::int16_t> first = {1, -2, 3, -32768, 32767};
    {
        WavFileSpeaker speaker(output);
        ASSERT_TRUE(speaker.start());
        speaker.play(first);
        speaker.play(first);
        speaker.stop();
        auto written = readWav(output);
        ASSERT_TRUE(written);
        EXPECT_EQ(written->format, kWireAudioFormat);
        EXPECT_EQ(written->samples.size(), 10u);
        EXPECT_EQ(std::vector(written->samples.begin() + 5, written->samples.end()), first);

        speaker.play(first);  // stopped: dropped
        ASSERT_TRUE(speaker.start());
        speaker.play(std::vector<std::int16_t>{7});
    }  // the end of the speaker settles the file too
    auto written = readWav(output);
    ASSERT_TRUE(written);
    EXPECT_EQ(written->samples, std::vector<std::int16_t>{7});
}

TEST(HeadlessDevices, TestPatternCameraDeliversMovingFramesPerPosition) {
    TestPatternCamera camera;
    ASSERT_TRUE(camera.available());
    std::vector<QImage> frames;
    ASSERT_TRUE(camera.start(CameraPosition::back, [&](const QImage& f) { frames.push_back(f); }));
    ASSERT_TRUE(runUntil([&] { return frames.size() >= 2; }));
    camera.stop();
    EXPECT_EQ(frames[0].size(), QSize(320, 240));
    EXPECT_NE(frames[0], frames[1]) << "the picture moves";
    EXPECT_EQ(frames[0], TestPatternCamera::pattern(CameraPosition::back, 0));
    EXPECT_NE(frames[0], TestPatternCamera::pattern(CameraPosition::front, 0));

    EXPECT_FALSE(NoCamera().start(CameraPosition::front, [](const QImage&) {}));
}

}  // namespace
}  // namespace merrowfax
