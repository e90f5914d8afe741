#pragma once

#include <QTimer>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "platform/audio_format.h"
#include "platform/jitter_buffer.h"

namespace merrowfax {

// A microphone: delivers captured 16-bit PCM in chunks of whole frames.
class AudioSource {
public:
    using OnChunk = std::function<void(std::span<const std::int16_t>)>;

    virtual ~AudioSource() = default;
    virtual AudioFormat format() const = 0;
    // Starts capture; `onChunk` runs for every chunk on a thread of the
    // backend until stop(). False when nothing can be captured.
    virtual bool start(OnChunk onChunk) = 0;
    virtual void stop() = 0;
};

// A speaker: plays 16-bit PCM of its format.
class AudioSink {
public:
    using OnPlayed = std::function<void(std::span<const std::int16_t>)>;

    virtual ~AudioSink() = default;
    virtual AudioFormat format() const = 0;
    virtual bool start() = 0;
    // Queues samples (whole frames) to play; from any thread.
    virtual void play(std::span<const std::int16_t> samples) = 0;
    virtual void stop() = 0;

    // What the device takes to play, when it takes it. A device with a
    // clock of its own (the sound server) reports everything it takes,
    // silence included, so the report keeps the device's pace; the headless
    // ones report what play() is given. Set before start(); it runs on the
    // device's thread and must not call into the sink.
    void setOnPlayed(OnPlayed onPlayed) { onPlayed_ = std::move(onPlayed); }
    // The device ran out of audio while playing; same rules.
    void setOnUnderrun(std::function<void()> onUnderrun) { onUnderrun_ = std::move(onUnderrun); }
    // What its jitter buffer did since start(), for a device that has one.
    virtual std::optional<JitterBuffer::Stats> playoutStats() const { return std::nullopt; }

protected:
    void reportPlayed(std::span<const std::int16_t> samples) const {
        if (onPlayed_) onPlayed_(samples);
    }
    void reportUnderrun() const {
        if (onUnderrun_) onUnderrun_();
    }

private:
    OnPlayed onPlayed_;
    std::function<void()> onUnderrun_;
};

// The headless microphone: a clip of samples (none is silence) delivered on
// the thread that started it, one 20 ms chunk every 20 ms, then silence once
// the clip is over. It needs that thread's event loop.
class ClipMicrophone final : public AudioSource {
public:
    // Silence in wire audio.
    ClipMicrophone();
    ClipMicrophone(AudioFormat format, std::vector<std::int16_t> clip);
    // The samples of a WAV file; nothing when the file is refused.
    static std::unique_ptr<ClipMicrophone> fromWav(const std::filesystem::path& file);

    AudioFormat format() const override { return format_; }
    bool start(OnChunk onChunk) override;
    void stop() override;

private:
    void deliver();

    AudioFormat format_;
    std::vector<std::int16_t> clip_;
    std::size_t position_ = 0;  // in samples
    std::vector<std::int16_t> chunk_;
    OnChunk onChunk_;
    QTimer timer_;
};

// Plays nowhere; counts what it was given (for tests).
class NullSpeaker final : public AudioSink {
public:
    explicit NullSpeaker(AudioFormat format = kWireAudioFormat) : format_(format) {}
    AudioFormat format() const override { return format_; }
    bool start() override { return true; }
    void play(std::span<const std::int16_t> samples) override {
        played_ += samples.size();
        reportPlayed(samples);
    }
    void stop() override {}
    std::size_t samplesPlayed() const { return played_; }

private:
    AudioFormat format_;
    std::atomic<std::size_t> played_ = 0;
};

// "Plays" into a WAV file: start() makes it anew, stop() (or the end of the
// object) settles its sizes. What would not fit in one file is dropped.
class WavFileSpeaker final : public AudioSink {
public:
    WavFileSpeaker(std::filesystem::path file, AudioFormat format = kWireAudioFormat);
    ~WavFileSpeaker() override;

    AudioFormat format() const override { return format_; }
    bool start() override;
    void play(std::span<const std::int16_t> samples) override;
    void stop() override;

private:
    void finish();

    const std::filesystem::path path_;
    const AudioFormat format_;
    std::mutex mutex_;
    std::ofstream out_;
    std::uint32_t dataBytes_ = 0;
};

}  // namespace merrowfax
