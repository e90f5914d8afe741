#include "app/walkie_controller.h"

#include <algorithm>
#include <chrono>

#include "platform/main_thread.h"
#include "platform/timings.h"
#include "wire/envelope_builders.h"

namespace merrowfax {
namespace {

// Frames ahead of their talk start: one second of wire audio is plenty.
constexpr std::size_t kPendingBytes = 32'000;

}  // namespace

WalkieController::WalkieController(ControllerHost& host, WalkieDevices devices,
                                   std::weak_ptr<MainThreadHop> hop, bool lockScreenTalk,
                                   bool contactsOnly)
    : host_(host), devices_(devices), lockScreenTalk_(lockScreenTalk), contactsOnly_(contactsOnly) {
    // Each chunk goes out at once, from the audio thread; the main thread
    // keeps it for the message of this press.
    WalkieTalk::Callbacks callbacks;
    callbacks.onCaptured = [this, hop, router = &devices_.router](wire::Bytes chunk) {
        auto alive = hop.lock();
        if (!alive) return;
        router->sendWalkie(chunk);
        alive->post([this, chunk = std::move(chunk)] { appendOutgoing(chunk); });
    };
    devices_.walkie.setCallbacks(std::move(callbacks));
    stall_.setSingleShot(true);
    connect(&stall_, &QTimer::timeout, this, [this] {
        dropPending();
        endedFrom_.reset();
        if (incomingFrom_) finishIncoming();
    });
}

WalkieController::~WalkieController() {
    // The engine outlives the router its captured audio goes through.
    devices_.walkie.setCallbacks({});
}

void WalkieController::setLockScreenTalk(bool on) {
    if (lockScreenTalk_ == on) return;
    lockScreenTalk_ = on;
    Q_EMIT lockScreenTalkChanged();
    host_.keepWalkieSettings(lockScreenTalk_, contactsOnly_);
}

void WalkieController::setContactsOnly(bool on) {
    if (contactsOnly_ == on) return;
    contactsOnly_ = on;
    Q_EMIT contactsOnlyChanged();
    host_.keepWalkieSettings(lockScreenTalk_, contactsOnly_);
}

void WalkieController::holdTalk(const std::string& number) {
    if (number.empty()) return;
    if (host_.isBlocked(number)) {
        host_.setAlert(host_.displayName(number) + " is blocked. Unblock them first.");
        return;
    }
    if (yielded_) {
        host_.setAlert("End the phone call before using the walkie.");
        return;
    }
    if (!devices_.router.canReach(number)) {
        devices_.router.wake();
        host_.setAlert("Merrowfax is connecting. Hold the walkie again in a moment.");
        return;
    }
    // A press to someone else while one runs: that one ends first.
    if (holding_ && target_ && *target_ != number) endTalk(*target_);
    if (holding_ && target_ == number) return;

    setTarget(number);
    setPartner(number);
    setHolding(true);
    outgoing_.clear();
    dropPending();
    devices_.router.setTalkTo(number);
    sendTalk(true, number);
    devices_.walkie.pressTalk();
}

void WalkieController::endTalk(const std::string& number) {
    // A press already ended (the cap, a call) is not ended twice.
    if (!holding_ && !target_) return;
    const std::string to = target_.value_or(number);
    setHolding(false);
    setTarget(std::nullopt);
    devices_.walkie.releaseTalk();
    sendTalk(false, to);
    devices_.router.setTalkTo(std::nullopt);
    wire::Bytes audio = std::exchange(outgoing_, {});
    host_.recordWalkieMessage(audio, to, true);
}

void WalkieController::appendOutgoing(std::span<const std::byte> chunk) {
    if (!holding_ || !target_) return;
    const std::size_t cap = timings().walkieClipBytes;
    appendCapped(outgoing_, chunk, cap);
    if (outgoing_.size() >= cap) endTalk(*target_);
}

bool WalkieController::mayHearStranger() {
    if (contactsOnly_) return false;
    // A stranger never cuts into a talk, heard or under way, and is heard
    // seldom, so a flood neither holds the speaker nor fills the chat.
    if (incomingFrom_ || holding_) return false;
    const auto now = std::chrono::steady_clock::now();
    if (lastStrangerTalk_ && now - *lastStrangerTalk_ < timings().strangerTalk) return false;
    lastStrangerTalk_ = now;
    return true;
}

void WalkieController::receiveTalk(const wire::events::Talk& talk) {
    const std::string& from = talk.from;
    if (from.empty() || host_.isBlocked(from)) return;
    if (!talk.start) {
        // The end comes over both paths; only the talk being heard ends.
        if (incomingFrom_ != from) return;
        finishIncoming();
        // The closing static now, not after the engine's silence timer.
        devices_.walkie.silenceEnded();
        endedFrom_ = from;
        stall_.start(timings().walkieStall);
        return;
    }
    // The same start over the second path.
    if (incomingFrom_ == from) return;
    const bool contact = host_.isContact(from);
    if (!contact && !mayHearStranger()) return;
    // A contact keys up over a talk being heard: that talk is kept as it
    // stands, and the newest talker is heard.
    if (incomingFrom_) finishIncoming();
    endedFrom_.reset();
    incoming_.clear();
    if (pendingFrom_ == from) incoming_ = std::exchange(pending_, {});
    dropPending();
    // A stranger shows as its number: a name it chose (or one learnt from
    // its calls) could be a contact's. Nor does the walkie bar's next press
    // go back to it.
    hearingName_ = contact ? host_.displayName(from) : from;
    setIncomingFrom(from);
    if (contact) setPartner(from);
    devices_.walkie.startHearing(hearingName_);
    if (!incoming_.empty()) devices_.walkie.receiveChunk(incoming_, hearingName_);
    stall_.start(timings().walkieStall);
}

void WalkieController::receiveWalkie(const wire::events::Walkie& frame) {
    if (frame.bytes.empty()) return;
    if (!frame.from.empty() && host_.isBlocked(frame.from)) return;
    if (incomingFrom_) {
        if (!frame.from.empty() && frame.from != *incomingFrom_) return;
        // Beyond the cap a talk is neither kept nor played.
        auto kept = appendCapped(incoming_, frame.bytes, timings().walkieClipBytes);
        if (kept.empty()) return;
        devices_.walkie.receiveChunk(kept, hearingName_);
        stall_.start(timings().walkieStall);
        return;
    }
    // Ahead of a talk start: kept a moment for the start from the same
    // contact. A stranger's talk has its start first or is not heard.
    if (frame.from.empty() || frame.from == endedFrom_ || !host_.isContact(frame.from)) return;
    if (pendingFrom_ != frame.from) {
        pending_.clear();
        pendingFrom_ = frame.from;
        stall_.start(timings().walkieStall);
    }
    appendCapped(pending_, frame.bytes, kPendingBytes);
}

void WalkieController::keepHeard(const wire::events::Walkie& frame) {
    if (!incomingFrom_ || frame.from != *incomingFrom_) return;
    appendCapped(incoming_, frame.bytes, timings().walkieClipBytes);
    stall_.start(timings().walkieStall);
}

void WalkieController::playClip(std::span<const std::byte> clip, const std::string& name) {
    devices_.walkie.playClip(clip, name);
}

void WalkieController::giveWay() {
    yielded_ = true;
    devices_.walkie.setYielded(true);
    if (target_) endTalk(*target_);
    devices_.walkie.giveWay();
}

void WalkieController::takeBack() {
    yielded_ = false;
    devices_.walkie.setYielded(false);
}

void WalkieController::finishIncoming() {
    if (!incomingFrom_) return;
    const std::string from = *incomingFrom_;
    wire::Bytes audio = std::exchange(incoming_, {});
    setIncomingFrom(std::nullopt);
    dropPending();
    if (!host_.isBlocked(from)) host_.recordWalkieMessage(audio, from, false);
}

void WalkieController::dropPending() {
    pendingFrom_.reset();
    wire::Bytes().swap(pending_);
}

std::span<const std::byte> WalkieController::appendCapped(wire::Bytes& buffer,
                                                          std::span<const std::byte> chunk,
                                                          std::size_t cap) {
    if (buffer.size() >= cap) return {};
    const std::size_t n = std::min(chunk.size(), cap - buffer.size());
    buffer.insert(buffer.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
    return chunk.first(n);
}

void WalkieController::sendTalk(bool start, const std::string& to) {
    std::string name = host_.ownName().value_or("Merrowfax");
    devices_.router.send(wire::talkEnvelope(start, to, std::move(name)), to);
}

void WalkieController::setHolding(bool holding) {
    if (holding_ == holding) return;
    holding_ = holding;
    Q_EMIT holdingTalkChanged();
}

void WalkieController::setTarget(std::optional<std::string> target) {
    if (target_ == target) return;
    target_ = std::move(target);
    Q_EMIT talkTargetChanged();
}

void WalkieController::setIncomingFrom(std::optional<std::string> number) {
    if (incomingFrom_ == number) return;
    devices_.intake.setTalkPeer(number);
    incomingFrom_ = std::move(number);
    Q_EMIT incomingTalkChanged();
}

void WalkieController::setPartner(const std::string& number) {
    if (partner_ == number) return;
    partner_ = number;
    Q_EMIT partnerChanged();
}

}  // namespace merrowfax
