#include "media/device_walkie_talk.h"

#include <algorithm>
#include <utility>

#include "media/connection_tone.h"
#include "media/walkie_audio.h"
#include "platform/timings.h"

namespace merrowfax {
namespace {

const QString kResting = QStringLiteral("Hold to talk. It plays on the speaker.");

}  // namespace

DeviceWalkieTalk::DeviceWalkieTalk(Devices devices, QObject* parent)
    : devices_(std::move(devices)), stamps_(ClickStamps::fromEnvironment()) {
    setParent(parent);
    silence_.setSingleShot(true);
    tapDelay_.setSingleShot(true);
    // A coarse timer may fire 5 % early or late; the delay is heard.
    tapDelay_.setTimerType(Qt::PreciseTimer);
    connect(&silence_, &QTimer::timeout, this, [this] { silenceEnded(); });
    connect(&tapDelay_, &QTimer::timeout, this, [this] { startTap(); });
}

DeviceWalkieTalk::~DeviceWalkieTalk() {
    capturing_ = false;
    stopTap();
    stopEngine();
}

void DeviceWalkieTalk::setCallbacks(Callbacks callbacks) {
    std::lock_guard lock(callbacksMutex_);
    callbacks_ = std::move(callbacks);
}

bool DeviceWalkieTalk::hasAudio() const {
    return devices_.microphone && devices_.speaker;
}

std::size_t DeviceWalkieTalk::queuedClips() {
    std::lock_guard lock(audioLock_);
    return queued_.size();
}

// --- Talking ---------------------------------------------------------------

bool DeviceWalkieTalk::pressTalk() {
    if (yielded_) return false;
    pressed_ = true;
    if (capturing_) return true;
    capturing_ = true;
    if (stamps_) stamps_->walkie(ClickStamps::WalkieMoment::Press);
    hearingRemote_ = false;
    hearingLive_ = false;
    // Talking and hearing exclude each other: what was still to be heard goes.
    if (player_) player_->clear();
    publishTransmitting(true);
    publishStatus(QStringLiteral("Talking"));
    std::function<void(bool)> onTalking;
    {
        std::lock_guard lock(callbacksMutex_);
        onTalking = callbacks_.onTalking;
    }
    if (onTalking) onTalking(true);
    prepareEngine();
    // The press's own click and the speaker's last sound die away first.
    tapDelay_.start(timings().walkieTapDelay);
    return true;
}

void DeviceWalkieTalk::releaseTalk() {
    pressed_ = false;
    tapDelay_.stop();
    if (!capturing_) return;
    capturing_ = false;
    stopTap();
    std::function<void(bool)> onTalking;
    {
        std::lock_guard lock(callbacksMutex_);
        onTalking = callbacks_.onTalking;
    }
    if (onTalking) onTalking(false);
    publishTransmitting(false);
    publishStatus(kResting);
}

void DeviceWalkieTalk::startTap() {
    if (!capturing_ || !pressed_ || yielded_) return;
    prepareEngine();
    if (!engineReady_) return;
    stopTap();
    auto microphone = devices_.microphone ? devices_.microphone() : nullptr;
    if (!microphone) return;
    const AudioFormat format = microphone->format();
    if (format.sampleRate <= 0 || format.channels <= 0) return;
    {
        std::lock_guard lock(captureMutex_);
        capture_ = std::make_unique<Capture>(format);
    }
    if (!microphone->start([this](std::span<const std::int16_t> frames) { captureStep(frames); })) {
        std::lock_guard lock(captureMutex_);
        capture_.reset();
        return;
    }
    microphone_ = std::move(microphone);
}

void DeviceWalkieTalk::stopTap() {
    if (microphone_) microphone_->stop();
    {
        // Waits for a capture step under way.
        std::lock_guard lock(captureMutex_);
        capture_.reset();
    }
    microphone_.reset();
}

void DeviceWalkieTalk::captureStep(std::span<const std::int16_t> frames) {
    std::lock_guard lock(captureMutex_);
    if (!capture_ || !capturing_) return;
    // Sent as heard: no gain, and silence goes too, so the other side hears
    // the pauses in time.
    std::vector<std::int16_t> wire;
    if (capture_->format == kWireAudioFormat) {
        wire.assign(frames.begin(), frames.end());
    } else {
        wire = resampleToWire(frames, capture_->format);
        if (wire.empty()) wire = capture_->converter.convert(frames, capture_->format);
    }
    if (wire.empty()) return;
    if (stamps_ && !capture_->sentAny) stamps_->walkie(ClickStamps::WalkieMoment::FirstSent);
    capture_->sentAny = true;
    std::function<void(wire::Bytes)> onCaptured;
    {
        std::lock_guard callbacksLock(callbacksMutex_);
        onCaptured = callbacks_.onCaptured;
    }
    if (onCaptured) onCaptured(wireAudio(wire));
}

// --- Hearing ---------------------------------------------------------------

void DeviceWalkieTalk::startHearing(const std::string& name) {
    if (capturing_ || yielded_) return;
    if (!hearingRemote_) voiceQueued_ = false;
    hearingRemote_ = true;
    QString shown = QString::fromStdString(name);
    if (shown.trimmed().isEmpty()) shown = QStringLiteral("Merrowfax");
    publishHearing(shown);
    publishStatus(shown + QStringLiteral(" on the speaker"));
    prepareEngine();
    openWithStatic();
    armSilence(timings().walkieSilence);
    // The opening static is with the player: chunks may follow it directly.
    hearingLive_ = engineReady_ && !trailingQueued_;
}

void DeviceWalkieTalk::openWithStatic() {
    if (openedWithStatic_) return;
    openedWithStatic_ = true;
    {
        std::lock_guard lock(audioLock_);
        queued_.push_front({staticBurst()});
    }
    playQueued();
}

void DeviceWalkieTalk::receiveChunk(std::span<const std::byte> chunk, const std::string& name) {
    if (capturing_ || yielded_ || chunk.size() < 2) return;
    if (!hearingRemote_) startHearing(name);
    wire::Bytes boosted = boostForSpeaker(chunk);
    const bool first = !voiceQueued_.exchange(true) && stamps_;
    if (first) stamps_->walkie(ClickStamps::WalkieMoment::FirstQueued);
    {
        std::lock_guard lock(audioLock_);
        queued_.push_back({std::move(boosted), first});
        while (queued_.size() > kMaxQueuedClips) queued_.pop_front();
    }
    playQueued();
    armSilence(timings().walkieSilence);
}

bool DeviceWalkieTalk::hearChunk(std::span<const std::byte> chunk) {
    if (chunk.size() < 2 || !hearingLive_ || capturing_ || yielded_) return false;
    std::vector<std::int16_t> samples = wireSamples(chunk);
    boostForSpeaker(samples);
    std::function<void()> onStart;
    if (!voiceQueued_.exchange(true) && stamps_) {
        stamps_->walkie(ClickStamps::WalkieMoment::FirstQueued);
        onStart = [stamps = stamps_.get()] {
            stamps->walkie(ClickStamps::WalkieMoment::FirstPlayed);
        };
    }
    {
        std::lock_guard lock(playerLock_);
        if (!player_ || !hearingLive_) return false;
        player_->play(samples, std::move(onStart));
    }
    // The silence timer belongs to the main thread: it learns of the chunk
    // there (dropped by Qt once the engine is gone).
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (hearingLive_) armSilence(timings().walkieSilence);
        },
        Qt::QueuedConnection);
    return true;
}

void DeviceWalkieTalk::playClip(std::span<const std::byte> clip, const std::string& name) {
    if (capturing_ || yielded_ || clip.size() < 2) return;
    wire::Bytes boosted = boostForSpeaker(clip);
    const auto duration = std::chrono::milliseconds(
        static_cast<long long>(boosted.size() / 2 * 1000 / kWireAudioFormat.sampleRate));
    openedWithStatic_ = true;
    trailingQueued_ = true;
    startHearing(name);
    {
        std::lock_guard lock(audioLock_);
        queued_.clear();
        queued_.push_back({staticBurst()});
        queued_.push_back({std::move(boosted)});
        queued_.push_back({staticBurst()});
    }
    playQueued();
    armSilence(duration + timings().walkieSilence);
}

void DeviceWalkieTalk::playQueued() {
    if (!engineReady_ || capturing_) return;
    std::deque<Clip> clips;
    {
        std::lock_guard lock(audioLock_);
        clips.swap(queued_);
    }
    for (const Clip& clip : clips) {
        std::function<void()> onStart;
        if (clip.firstVoice) {
            onStart = [stamps = stamps_.get()] {
                stamps->walkie(ClickStamps::WalkieMoment::FirstPlayed);
            };
        }
        player_->play(wireSamples(clip.audio), std::move(onStart));
    }
}

void DeviceWalkieTalk::armSilence(std::chrono::milliseconds interval) {
    silence_.start(std::max(interval, timings().walkieSilenceMin));
}

void DeviceWalkieTalk::silenceEnded() {
    // Whatever comes after the closing static is not heard.
    hearingLive_ = false;
    if (hearingRemote_ && !trailingQueued_) {
        // The talk may end while some of it still waits in the player: the
        // static goes behind it, and the bar rests once both have played.
        const auto unplayed = std::chrono::milliseconds(static_cast<long long>(
            playerBacklog() * 1000 / static_cast<std::size_t>(kWireAudioFormat.sampleRate)));
        {
            std::lock_guard lock(audioLock_);
            queued_.push_back({staticBurst()});
        }
        playQueued();
        trailingQueued_ = true;
        armSilence(unplayed + timings().walkieTrailing);
        return;
    }
    resetHearing();
}

void DeviceWalkieTalk::resetHearing() {
    hearingLive_ = false;
    silence_.stop();
    trailingQueued_ = false;
    hearingRemote_ = false;
    openedWithStatic_ = false;
    {
        std::lock_guard lock(audioLock_);
        queued_.clear();
    }
    if (!transmitting()) {
        publishHearing(QString());
        publishStatus(kResting);
    }
}

// --- The engine --------------------------------------------------------------

void DeviceWalkieTalk::prepareEngine() {
    // A call holds the audio while the walkie is yielded.
    if (engineReady_ || yielded_) return;
    auto speaker = devices_.speaker ? devices_.speaker() : nullptr;
    if (!speaker || !speaker->start()) return;
    speaker_ = std::move(speaker);
    {
        std::lock_guard lock(playerLock_);
        player_ = std::make_unique<PacedPlayer>(*speaker_);
    }
    engineReady_ = true;
}

void DeviceWalkieTalk::stopEngine() {
    hearingLive_ = false;
    {
        std::lock_guard lock(playerLock_);
        player_.reset();  // joined before its speaker goes
    }
    if (speaker_) speaker_->stop();
    speaker_.reset();
    engineReady_ = false;
}

void DeviceWalkieTalk::giveWay() {
    pressed_ = false;
    releaseTalk();
    // Nothing more is heard, so the bar rests at once, without the closing
    // static.
    resetHearing();
    tapDelay_.stop();
    stopTap();
    stopEngine();
}

}  // namespace merrowfax
