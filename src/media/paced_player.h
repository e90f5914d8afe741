#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <thread>

#include "media/wire_audio.h"
#include "platform/audio_devices.h"

namespace merrowfax {

// Plays wire audio on a speaker at the pace the speaker plays it, a little
// ahead, from its own thread. A speaker keeps only a short queue of its own
// and drops what does not fit, so a whole clip handed over at once would be
// heard only by its end.
class PacedPlayer {
public:
    // Most audio waiting to be played: a 60 s clip framed by two statics. A
    // flood of received audio beyond it loses its oldest part.
    static constexpr std::size_t kMaxBacklog = 62 * kWireAudioFormat.sampleRate;
    // How far ahead of the clock the speaker is fed.
    static constexpr std::chrono::milliseconds kLead{60};

    // `sink` is started and outlives the player.
    explicit PacedPlayer(AudioSink& sink);
    ~PacedPlayer();
    PacedPlayer(const PacedPlayer&) = delete;
    PacedPlayer& operator=(const PacedPlayer&) = delete;

    // `onStart`, when given, runs on the player's thread just before the
    // first sample of `wire` is handed to the speaker; never when that sample
    // is cleared or pushed out of the backlog first.
    void play(std::span<const std::int16_t> wire, std::function<void()> onStart = {});
    // Forgets what has not reached the speaker yet.
    void clear();
    // Samples not yet with the speaker, counting a piece on its way to it.
    std::size_t backlog() const;

private:
    using Clock = std::chrono::steady_clock;
    void run();

    AudioSink& sink_;
    SpeakerConverter toSpeaker_;  // the player thread's
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::int16_t> backlog_;
    std::size_t handing_ = 0;  // taken off the backlog, not yet played
    // Samples ever taken off the front of the backlog: played, cleared or
    // pushed out. Positions below count from the first sample ever queued.
    std::uint64_t consumed_ = 0;
    struct Cue {
        std::uint64_t at;  // position of the sample it waits for
        std::function<void()> run;
    };
    std::deque<Cue> cues_;  // in order of position
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace merrowfax
