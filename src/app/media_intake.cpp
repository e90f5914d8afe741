#include "app/media_intake.h"

#include <algorithm>
#include <thread>

#include "platform/timings.h"

namespace merrowfax {
namespace {

std::uint64_t nanosOf(PathGate::Clock::time_point t) {
    return static_cast<std::uint64_t>(std::max<std::int64_t>(
        0, std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count()));
}

}  // namespace

bool PathGate::accept(MediaPath path, Clock::time_point now) {
    const std::uint64_t bit = path == MediaPath::relay ? 1U : 0U;
    const std::uint64_t at = nanosOf(now);
    const auto hold = static_cast<std::uint64_t>(hold_.count());
    std::uint64_t current = state_.load(std::memory_order_relaxed);
    for (;;) {
        const std::uint64_t latest = current >> 1;
        // The relay takes over only from a LAN quiet for the hold; the LAN
        // at once, as it is the faster path: its chunks are never behind
        // the relay's copies, so nothing plays twice.
        if (current != 0 && (current & 1U) != bit && path == MediaPath::relay &&
            at < latest + hold) {
            return false;
        }
        // The time on record never goes back: chunks of both threads race.
        const std::uint64_t next = (std::max(at, latest) << 1) | bit;
        if (state_.compare_exchange_weak(current, next, std::memory_order_relaxed)) return true;
    }
}

void PathGate::release(MediaPath path) {
    const std::uint64_t bit = path == MediaPath::relay ? 1U : 0U;
    std::uint64_t current = state_.load(std::memory_order_relaxed);
    while (current != 0 && (current & 1U) == bit &&
           !state_.compare_exchange_weak(current, 0, std::memory_order_relaxed)) {
    }
}

MediaIntake::MediaIntake(CallMedia& media, WalkieTalk& walkie)
    : media_(media),
      walkieEngine_(walkie),
      audio_(timings().mediaPathHold),
      video_(timings().mediaPathHold),
      walkie_(timings().mediaPathHold),
      walkieAhead_(timings().mediaPathHold) {}

void MediaIntake::setCallPeer(const std::optional<std::string>& number) {
    if (number && callPeer_.is(*number)) return;
    audio_.reset();
    video_.reset();
    lastCallMedia_.store(static_cast<std::int64_t>(nanosOf(Clock::now())),
                         std::memory_order_relaxed);
    callPeer_.set(number);
    callPeerText_ = number;
}

void MediaIntake::setTalkPeer(const std::optional<std::string>& number) {
    if (number && talkPeer_.is(*number)) return;
    walkie_.reset();
    heardBytes_.store(0);
    talkPeer_.set(number);
    talkPeerText_ = number;
}

void MediaIntake::pathLeft(MediaPath path, const std::set<std::string>& stillReached) {
    if (callPeerText_ && !stillReached.contains(*callPeerText_)) {
        audio_.release(path);
        video_.release(path);
    }
    if (talkPeerText_ && !stillReached.contains(*talkPeerText_)) walkie_.release(path);
}

bool MediaIntake::takeCall(const std::string& from, MediaPath path, PathGate& gate) {
    if (!callPeer_.is(from)) return false;
    const auto now = Clock::now();
    if (!gate.accept(path, now)) return false;
    lastCallMedia_.store(static_cast<std::int64_t>(nanosOf(now)), std::memory_order_relaxed);
    return true;
}

bool MediaIntake::take(const wire::PeerEvent& event, MediaPath path) {
    const bool media = std::holds_alternative<wire::events::Audio>(event) ||
                       std::holds_alternative<wire::events::Video>(event) ||
                       std::holds_alternative<wire::events::Walkie>(event);
    if (!media) return false;
    // Sequentially consistent, as close() pairs its flag with this count.
    busy_.fetch_add(1);
    struct Leave {
        std::atomic<int>& busy;
        ~Leave() { busy.fetch_sub(1); }
    } leave{busy_};
    if (closed_.load()) return true;
    if (const auto* audio = std::get_if<wire::events::Audio>(&event)) {
        if (takeCall(audio->from, path, audio_)) media_.receiveAudio(audio->bytes);
        return true;
    }
    if (const auto* video = std::get_if<wire::events::Video>(&event)) {
        if (takeCall(video->from, path, video_)) media_.receiveVideo(video->bytes);
        return true;
    }
    if (const auto* clip = std::get_if<wire::events::Walkie>(&event))
        return takeWalkie(*clip, path);
    return false;
}

bool MediaIntake::takeWalkie(const wire::events::Walkie& clip, MediaPath path) {
    // Clips ahead of their talk's start are the walkie flow's to judge;
    // here only their second copy goes.
    if (!talkPeer_.is(clip.from)) return !walkieAhead_.accept(path, Clock::now());
    if (!walkie_.accept(path, Clock::now())) return true;
    // Beyond what one talk keeps, a talk is neither kept nor played.
    const std::size_t cap = timings().walkieClipBytes;
    const std::size_t before = heardBytes_.fetch_add(clip.bytes.size());
    if (before >= cap) return true;
    const std::size_t take = std::min(clip.bytes.size(), cap - before) & ~std::size_t{1};
    wire::events::Walkie kept{
        wire::Bytes(clip.bytes.begin(), clip.bytes.begin() + static_cast<std::ptrdiff_t>(take)),
        clip.from};
    if (!walkieEngine_.hearChunk(kept.bytes)) {
        heardBytes_.fetch_sub(clip.bytes.size());
        return false;
    }
    if (keepHeard_) keepHeard_(std::move(kept));
    return true;
}

void MediaIntake::close() {
    closed_.store(true);
    while (busy_.load() != 0) std::this_thread::yield();
}

MediaIntake::Clock::time_point MediaIntake::lastCallMedia() const {
    return Clock::time_point(
        std::chrono::nanoseconds(lastCallMedia_.load(std::memory_order_relaxed)));
}

}  // namespace merrowfax
