#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>

#include "media/aac_voice_encoder.h"
#include "media/voice_recorder.h"
#include "platform/file_microphone.h"
#include "platform/timings.h"
#include "platform/wav_file.h"
#include "support/goertzel.h"

namespace merrowfax {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Decoded {
    int sampleRate = 0;
    int channels = 0;
    std::vector<std::int16_t> samples;  // the first channel
};

// Decodes an audio file with FFmpeg; nothing when it does not open.
std::optional<Decoded> decode(const wire::Bytes& bytes) {
    const fs::path file = fs::temp_directory_path() / "voice-test-decode.m4a";
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, file.c_str(), nullptr, nullptr) < 0) return std::nullopt;
    std::optional<Decoded> result;
    const AVCodec* codec = nullptr;
    const int index = avformat_find_stream_info(format, nullptr) >= 0
                          ? av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0)
                          : -1;
    AVCodecContext* context = index >= 0 ? avcodec_alloc_context3(codec) : nullptr;
    if (context && avcodec_parameters_to_context(context, format->streams[index]->codecpar) >= 0 &&
        avcodec_open2(context, codec, nullptr) >= 0) {
        result.emplace();
        result->sampleRate = context->sample_rate;
        result->channels = context->ch_layout.nb_channels;
        AVPacket* packet = av_packet_alloc();
        AVFrame* frame = av_frame_alloc();
        auto drain = [&] {
            while (avcodec_receive_frame(context, frame) >= 0) {
                EXPECT_EQ(frame->format, AV_SAMPLE_FMT_FLTP);
                const auto* plane = reinterpret_cast<const float*>(frame->data[0]);
                for (int i = 0; i < frame->nb_samples; ++i) {
                    const float clamped = std::clamp(plane[i], -1.0F, 1.0F);
                    result->samples.push_back(static_cast<std::int16_t>(clamped * 32767));
                }
            }
        };
        while (av_read_frame(format, packet) >= 0) {
            if (packet->stream_index == index && avcodec_send_packet(context, packet) >= 0) drain();
            av_packet_unref(packet);
        }
        avcodec_send_packet(context, nullptr);
        drain();
        av_frame_free(&frame);
        av_packet_free(&packet);
    }
    avcodec_free_context(&context);
    avformat_close_input(&format);
    fs::remove(file);
    return result;
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    QDeadlineTimer deadline(limit);
    while (!done() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return done();
}

// An encoder that opens or not, and never completes a file.
class FailingEncoder final : public VoiceEncoder {
public:
    explicit FailingEncoder(bool opens) : opens_(opens) {}
    bool open(const fs::path& file) override {
        std::ofstream(file) << "part";
        return opens_;
    }
    void add(std::span<const std::int16_t>) override {}
    bool finish() override { return false; }

private:
    bool opens_;
};

std::size_t voiceFilesInTemp() {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path())) {
        if (entry.path().extension() == ".m4a") ++count;
    }
    return count;
}

class VoiceRecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A temporary folder of this test's own: other tests record in parallel.
        ASSERT_TRUE(temp_.isValid());
        savedTemp_ = qgetenv("TMPDIR");
        qputenv("TMPDIR", temp_.path().toUtf8());
        saved_ = timings();
        // 48 kHz stereo, so the recording goes through the conversion to 16 kHz mono.
        const AudioFormat format{48000, 2};
        std::vector<std::int16_t> samples;
        for (int i = 0; i < format.sampleRate; ++i) {
            const double t = static_cast<double>(i) / format.sampleRate;
            const auto value =
                static_cast<std::int16_t>(12000 * std::sin(2 * std::numbers::pi * 440 * t));
            samples.push_back(value);
            samples.push_back(value);
        }
        wav_ = fs::temp_directory_path() /
               ("voice-test-" + std::to_string(QCoreApplication::applicationPid()) + ".wav");
        const auto bytes = makeWav(format, samples);
        std::ofstream(wav_, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        filesBefore_ = voiceFilesInTemp();
    }
    void TearDown() override {
        setTimings(saved_);
        fs::remove(wav_);
        EXPECT_EQ(voiceFilesInTemp(), filesBefore_) << "a recording's file was left behind";
        qputenv("TMPDIR", savedTemp_);
    }
    std::unique_ptr<AudioSource> tone() const { return FileMicrophone::fromWav(wav_); }
    void setLimit(std::chrono::milliseconds limit) {
        Timings t = saved_;
        t.voiceLimit = limit;
        setTimings(t);
    }

    QTemporaryDir temp_;
    QByteArray savedTemp_;
    Timings saved_;
    fs::path wav_;
    std::size_t filesBefore_ = 0;
    int finishes_ = 0;
    std::optional<wire::Bytes> result_;
    VoiceRecorder::OnFinish onFinish_ = [this](std::optional<wire::Bytes> bytes) {
        ++finishes_;
        result_ = std::move(bytes);
    };
};

TEST_F(VoiceRecorderTest, ToneRecordedFromAFileMicrophoneDecodesAsSixteenKilohertzMono) {
    VoiceRecorder recorder(tone(), makeAacVoiceEncoder(), onFinish_);
    ASSERT_TRUE(recorder.start());
    EXPECT_TRUE(recorder.recording());
    QTimer::singleShot(1200ms, &recorder, &VoiceRecorder::stop);
    ASSERT_TRUE(waitFor([&] { return finishes_ > 0; }));
    EXPECT_FALSE(recorder.recording());
    ASSERT_TRUE(result_.has_value());

    const auto decoded = decode(*result_);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->sampleRate, 16000);
    EXPECT_EQ(decoded->channels, 1);
    // Recorded in real time: about 1.2 s, whatever a loaded machine adds at the ends.
    const double seconds = static_cast<double>(decoded->samples.size()) / 16000;
    EXPECT_GT(seconds, 0.9);
    EXPECT_LT(seconds, 1.8);
    // The tone stands far above a frequency that is not in it.
    const std::span<const std::int16_t> middle =
        std::span(decoded->samples).subspan(decoded->samples.size() / 4, 8000);
    const double tone = testing::tonePower(middle, 16000, 440);
    const double other = testing::tonePower(middle, 16000, 1300);
    EXPECT_GT(tone, 0.01);
    EXPECT_GT(tone, 100 * other);

    recorder.stop();  // after the end: nothing more
    QCoreApplication::processEvents();
    EXPECT_EQ(finishes_, 1);
}

TEST_F(VoiceRecorderTest, LimitEndsTheRecordingOnceEvenWhenStopRacesIt) {
    setLimit(400ms);
    {
        // Nobody stops it: the limit does.
        VoiceRecorder recorder(tone(), makeAacVoiceEncoder(), onFinish_);
        ASSERT_TRUE(recorder.start());
        ASSERT_TRUE(waitFor([&] { return finishes_ > 0; }));
        ASSERT_TRUE(result_.has_value());
        const auto decoded = decode(*result_);
        ASSERT_TRUE(decoded.has_value());
        // Never more audio than the limit, however late the encoder ends (plus one padded frame).
        EXPECT_LE(decoded->samples.size(), 16000 * 4 / 10 + 2048);
        waitFor([] { return false; }, 300ms);
        EXPECT_EQ(finishes_, 1);
    }
    {
        // stop() on the same turn of the loop as the limit, and again after it.
        finishes_ = 0;
        VoiceRecorder recorder(tone(), makeAacVoiceEncoder(), onFinish_);
        ASSERT_TRUE(recorder.start());
        QTimer::singleShot(400ms, &recorder, &VoiceRecorder::stop);
        QTimer::singleShot(401ms, &recorder, &VoiceRecorder::stop);
        ASSERT_TRUE(waitFor([&] { return finishes_ > 0; }));
        waitFor([] { return false; }, 300ms);
        EXPECT_EQ(finishes_, 1);
        EXPECT_TRUE(result_.has_value());
    }
}

TEST_F(VoiceRecorderTest, FailedRecordingsGiveNothing) {
    // No microphone at all, or one that cannot be opened.
    VoiceRecorder none(nullptr, makeAacVoiceEncoder(), onFinish_);
    EXPECT_FALSE(none.start());
    VoiceRecorder missing(FileMicrophone::fromWav("/nonexistent/voice.wav"), makeAacVoiceEncoder(),
                          onFinish_);
    EXPECT_FALSE(missing.start());
    EXPECT_FALSE(missing.recording());
    // No encoder, or one that cannot open its file (which is not left behind).
    VoiceRecorder noEncoder(tone(), nullptr, onFinish_);
    EXPECT_FALSE(noEncoder.start());
    VoiceRecorder unopened(tone(), std::make_unique<FailingEncoder>(false), onFinish_);
    EXPECT_FALSE(unopened.start());

    // An encoder that fails at the end: the callback once, with nothing.
    {
        VoiceRecorder broken(tone(), std::make_unique<FailingEncoder>(true), onFinish_);
        ASSERT_TRUE(broken.start());
        waitFor([] { return false; }, 100ms);
        broken.stop();
        ASSERT_TRUE(waitFor([&] { return finishes_ > 0; }));
        EXPECT_EQ(finishes_, 1);
        EXPECT_FALSE(result_.has_value());
    }
    finishes_ = 0;

    // Stopped before any sound arrived: no file to send.
    VoiceRecorder instant(tone(), makeAacVoiceEncoder(), onFinish_);
    ASSERT_TRUE(instant.start());
    instant.stop();
    waitFor([&] { return finishes_ > 0; }, 2s);
    waitFor([] { return false; }, 100ms);
    EXPECT_LE(finishes_, 1);
    if (finishes_ == 1 && result_) {
        EXPECT_TRUE(decode(*result_).has_value());
    }

    // Gone while recording: no callback, and its file is removed (checked on tear-down).
    finishes_ = 0;
    {
        VoiceRecorder dropped(tone(), makeAacVoiceEncoder(), onFinish_);
        ASSERT_TRUE(dropped.start());
        waitFor([] { return false; }, 200ms);
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(finishes_, 0);
}

}  // namespace
}  // namespace merrowfax
