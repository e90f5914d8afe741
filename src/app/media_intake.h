#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include "app/published_number.h"
#include "media/call_media.h"
#include "media/walkie_talk.h"
#include "wire/peer_event.h"

namespace merrowfax {

// The two ways media reaches this device.
enum class MediaPath : std::uint8_t { lan, relay };

// Which path one stream of media is taken from. Senders use one path, but an
// older sender uses both, and a switch of path races its last chunks. The
// LAN, the faster path, takes the stream whenever a chunk comes on it: its
// chunks are never behind the relay's copies, and a sender back on the LAN
// is heard at once. The relay takes it only from a LAN quiet for `hold`, or
// known gone (release()); meanwhile its chunks are copies, or behind, and are
// dropped. Lock-free: the network threads of both paths ask at once.
class PathGate {
public:
    using Clock = std::chrono::steady_clock;

    explicit PathGate(std::chrono::milliseconds hold) : hold_(hold) {}

    // Whether a chunk that came on `path` at `now` is taken.
    bool accept(MediaPath path, Clock::time_point now);
    // The stream starts afresh (a new call or talk): any path may take it.
    void reset() { state_.store(0, std::memory_order_relaxed); }
    // `path` no longer reaches the sender: the other one may take the stream
    // at once instead of after the hold.
    void release(MediaPath path);

private:
    const std::chrono::nanoseconds hold_;
    // The path in the lowest bit, above it the nanoseconds of the latest
    // chunk taken on the steady clock; 0 before the first.
    std::atomic<std::uint64_t> state_ = 0;
};

// Received media, on the thread its path delivered it: call audio and video
// count only from the other party of the connected call, and each stream from
// one path at a time. Call audio goes straight to the engine from here, so a
// busy main thread never becomes a gap in the call.
class MediaIntake {
public:
    using Clock = PathGate::Clock;

    MediaIntake(CallMedia& media, WalkieTalk& walkie);

    // Where a walkie clip the engine played goes to be kept for the talk's
    // message; it must hop to the main thread. Before any media comes.
    void setKeepHeard(std::function<void(wire::events::Walkie)> keep) {
        keepHeard_ = std::move(keep);
    }

    // Whose call media is taken: the connected call's other party, or
    // nobody. Main thread.
    void setCallPeer(const std::optional<std::string>& number);
    // Whose walkie talk is being heard, or nobody. Main thread.
    void setTalkPeer(const std::optional<std::string>& number);

    // `path` no longer reaches these numbers (a LAN session closed, the
    // line went down): whichever of the call's or the talk's peer is not
    // among them is taken from the other path at once. Main thread.
    void pathLeft(MediaPath path, const std::set<std::string>& stillReached);

    // Call audio or video: taken or dropped here; true. A walkie clip of the
    // talk being heard: played here and handed to keepHeard, or dropped as
    // the copy from the path not in use, or beyond what one talk keeps;
    // true. Other walkie clips, and clips the engine cannot play now: false,
    // for the walkie flow on the main thread. Anything else: false. Any
    // thread.
    bool take(const wire::PeerEvent& event, MediaPath path);

    // From now on everything is dropped; returns once no thread is handing
    // media to the engine any more. Main thread, before the engine goes.
    void close();

    // When the last chunk of call media from the call's peer was taken, on
    // the steady clock; the start of the call before any came.
    Clock::time_point lastCallMedia() const;

private:
    bool takeCall(const std::string& from, MediaPath path, PathGate& gate);
    bool takeWalkie(const wire::events::Walkie& clip, MediaPath path);

    // The main thread's copies of the published peers.
    std::optional<std::string> callPeerText_;
    std::optional<std::string> talkPeerText_;

    CallMedia& media_;
    WalkieTalk& walkieEngine_;
    std::function<void(wire::events::Walkie)> keepHeard_;
    PublishedNumber callPeer_;
    PublishedNumber talkPeer_;
    PathGate audio_;
    PathGate video_;
    PathGate walkie_;                              // the talk being heard
    PathGate walkieAhead_;                         // clips that came ahead of their talk's start
    std::atomic<std::size_t> heardBytes_ = 0;      // of the talk being heard
    std::atomic<std::int64_t> lastCallMedia_ = 0;  // steady-clock nanoseconds
    std::atomic<bool> closed_ = false;
    std::atomic<int> busy_ = 0;  // threads inside take()
};

}  // namespace merrowfax
