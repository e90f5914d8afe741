#pragma once

#include <QTimer>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "media/click_stamps.h"
#include "media/paced_player.h"
#include "media/walkie_talk.h"
#include "media/wire_audio.h"
#include "platform/audio_devices.h"

namespace merrowfax {

// The walkie-talkie on the device seams of platform/, with its own speaker
// and microphone apart from the call's. The speaker opens when there is
// something to hear or say and stays open between talks; the microphone is
// open only while the talk button is held. giveWay() closes both.
//
// Threads: everything but the capture step and hearChunk() runs on the main
// thread; the capture step runs on the microphone's thread and hands chunks
// to onCaptured there, and hearChunk() feeds the player from the network
// thread that received the chunk. Playback is paced by the player's own thread, joined
// before the speaker goes.
class DeviceWalkieTalk final : public WalkieTalk {
public:
    struct Devices {
        std::function<std::unique_ptr<AudioSource>()> microphone;
        std::function<std::unique_ptr<AudioSink>()> speaker;
    };

    // Received clips waiting for the speaker.
    static constexpr std::size_t kMaxQueuedClips = 40;

    explicit DeviceWalkieTalk(Devices devices, QObject* parent = nullptr);
    ~DeviceWalkieTalk() override;

    void setCallbacks(Callbacks callbacks) override;
    void setChannel(const Uuid& channel) override { channel_ = channel; }
    bool hasAudio() const override;

    bool pressTalk() override;
    void releaseTalk() override;
    void startHearing(const std::string& name) override;
    void receiveChunk(std::span<const std::byte> chunk, const std::string& name) override;
    // Any thread: straight to the player while a heard talk has it.
    bool hearChunk(std::span<const std::byte> chunk) override;
    void playClip(std::span<const std::byte> clip, const std::string& name) override;
    void giveWay() override;
    void setYielded(bool yielded) override { yielded_ = yielded; }

    // The remote talk ended, or nothing came for a while: the closing static
    // is queued behind the audio still to be played, and the next call (once
    // both have played) returns the bar to rest.
    void silenceEnded() override;

    std::size_t queuedClips();
    std::size_t playerBacklog() const { return player_ ? player_->backlog() : 0; }
    const Uuid& channel() const { return channel_; }

private:
    struct Capture {
        explicit Capture(AudioFormat f) : format(f) {}
        AudioFormat format;
        WireConverter converter;
        bool sentAny = false;  // a chunk of this press went out
    };
    struct Clip {
        wire::Bytes audio;
        bool firstVoice = false;  // the first chunk of a heard talk, stamped
    };

    void prepareEngine();
    void startTap();
    void stopTap();
    void captureStep(std::span<const std::int16_t> frames);
    void openWithStatic();
    void playQueued();
    void armSilence(std::chrono::milliseconds interval);
    void resetHearing();
    void stopEngine();

    Devices devices_;
    Uuid channel_;
    std::unique_ptr<ClickStamps> stamps_;  // latency stamps, usually none

    std::mutex callbacksMutex_;
    Callbacks callbacks_;

    // Playback, main thread.
    std::unique_ptr<AudioSink> speaker_;
    std::unique_ptr<PacedPlayer> player_;
    bool engineReady_ = false;
    std::mutex audioLock_;  // guards queued_
    std::deque<Clip> queued_;

    // Capture: the microphone belongs to the main thread, capture_ to the
    // capture step under captureMutex_.
    std::unique_ptr<AudioSource> microphone_;
    std::mutex captureMutex_;
    std::unique_ptr<Capture> capture_;

    std::atomic<bool> capturing_ = false;
    std::atomic<bool> yielded_ = false;
    // A heard talk has the player: hearChunk() may feed it from any thread.
    std::atomic<bool> hearingLive_ = false;
    std::mutex playerLock_;  // held by hearChunk(), and by the main thread to replace player_
    bool pressed_ = false;
    bool hearingRemote_ = false;
    bool openedWithStatic_ = false;
    bool trailingQueued_ = false;
    std::atomic<bool> voiceQueued_ = false;  // this hearing's first chunk is queued
    QTimer silence_;
    QTimer tapDelay_;
};

}  // namespace merrowfax
