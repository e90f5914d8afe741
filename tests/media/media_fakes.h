#pragma once

#include <mutex>
#include <vector>

#include "platform/audio_devices.h"
#include "platform/camera.h"
#include "support/event_wait.h"

namespace merrowfax::testing {

// A microphone the test speaks into by hand, on the test's thread. Given
// `self`, it keeps the test's pointer to it while it lives.
class HandMicrophone final : public AudioSource {
public:
    explicit HandMicrophone(AudioFormat format, HandMicrophone** self = nullptr)
        : format_(format), self_(self) {
        if (self_) *self_ = this;
    }
    ~HandMicrophone() override {
        if (self_) *self_ = nullptr;
    }
    AudioFormat format() const override { return format_; }
    bool start(OnChunk onChunk) override {
        onChunk_ = std::move(onChunk);
        return true;
    }
    void stop() override { onChunk_ = nullptr; }
    void speak(std::span<const std::int16_t> frames) {
        if (onChunk_) onChunk_(frames);
    }

private:
    AudioFormat format_;
    HandMicrophone** self_;
    OnChunk onChunk_;
};

// A speaker that keeps every call of play().
class RecordingSpeaker final : public AudioSink {
public:
    AudioFormat format() const override { return kWireAudioFormat; }
    bool start() override { return true; }
    void play(std::span<const std::int16_t> samples) override {
        std::lock_guard lock(mutex_);
        chunks_.emplace_back(samples.begin(), samples.end());
        reportPlayed(samples);
    }
    void stop() override {}
    std::vector<std::vector<std::int16_t>> chunks() {
        std::lock_guard lock(mutex_);
        return chunks_;
    }

private:
    std::mutex mutex_;
    std::vector<std::vector<std::int16_t>> chunks_;
};

// A camera whose frames the test hands over; it remembers where it looked.
class HandCamera final : public Camera {
public:
    bool available() const override { return true; }
    bool start(CameraPosition position, OnFrame onFrame) override {
        positions.push_back(position);
        onFrame_ = std::move(onFrame);
        return true;
    }
    void stop() override { onFrame_ = nullptr; }
    void show(const QImage& picture) {
        if (onFrame_) onFrame_(picture);
    }
    std::vector<CameraPosition> positions;

private:
    OnFrame onFrame_;
};

}  // namespace merrowfax::testing
