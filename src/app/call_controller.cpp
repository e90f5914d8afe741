#include "app/call_controller.h"

#include <algorithm>

#include "media/connection_tone.h"
#include "model/text_limits.h"
#include "numbers/unicode_text.h"
#include "numbers/virtual_number.h"
#include "platform/main_thread.h"
#include "platform/timings.h"
#include "wire/envelope_builders.h"

namespace merrowfax {
namespace {

// Checks of the wait for a path before a call gives up.
constexpr int kPathChecks = 20;

std::optional<std::string> nonEmpty(const std::string& text) {
    if (text.empty()) return std::nullopt;
    return text;
}

}  // namespace

CallController::CallController(ControllerHost& host, CallDevices devices,
                               std::weak_ptr<MainThreadHop> hop)
    : host_(host), devices_(devices) {
    connect(&ringTimer_, &QTimer::timeout, this,
            [this] { devices_.sounds.play(SystemSound::ring); });
    noAnswerTimer_.setSingleShot(true);
    connect(&noAnswerTimer_, &QTimer::timeout, this, [this] {
        if (auto id = std::exchange(noAnswerCall_, std::nullopt)) noAnswer(*id);
    });
    connect(&pathTimer_, &QTimer::timeout, this, &CallController::checkPath);
    connect(&peerTimer_, &QTimer::timeout, this, &CallController::checkPeer);
    audioRestartTimer_.setSingleShot(true);
    connect(&audioRestartTimer_, &QTimer::timeout, this, [this] {
        const auto id = std::exchange(audioRestartCall_, std::nullopt);
        if (!id || !isActive(*id) || devices_.media.audioReady()) return;
        startCallAudio(bridge_.sessionActive, true);
    });
    wireDevices(std::move(hop));
}

CallController::~CallController() = default;

void CallController::wireDevices(std::weak_ptr<MainThreadHop> hop) {
    // Captured media goes straight out on the capture thread; nothing is
    // sent outside a call (no number to route it to).
    CallMedia::Callbacks media;
    Router* router = &devices_.router;
    media.onAudio = [router](wire::Bytes chunk) {
        router->sendAudio(chunk);
    };
    media.onVideo = [router](wire::Bytes frame) {
        router->sendVideo(frame);
    };
    devices_.media.setCallbacks(std::move(media));

    // A system call screen calls from its own threads: each report hops to
    // the main thread, and is dropped once the model is gone.
    auto onMain = [hop](auto work) {
        if (auto h = hop.lock()) h->post(std::move(work));
    };
    bridge_.onEnded = [this, onMain](const Uuid& id) {
        onMain([this, id] {
            if (isActive(id) || (incoming_ && incoming_->id == id)) endCall();
        });
    };
    bridge_.onAnswered = [this, onMain](const Uuid& id) {
        onMain([this, id] {
            if (incoming_ && incoming_->id == id) answerCall();
        });
    };
    bridge_.onMute = [this, onMain](bool muted) {
        onMain([this, muted] { devices_.media.setMuted(muted); });
    };
    bridge_.onSessionReady = [this, onMain] {
        onMain([this] {
            if (devices_.media.microphoneAllowed()) startCallAudio(true, true);
        });
    };
    bridge_.onSessionStopped = [this, onMain] {
        onMain([this] { restartCallAudio(); });
    };
}

bool CallController::isActive(const Uuid& id) const {
    return active_ && active_->id == id && active_->phase == CallPhase::active;
}

void CallController::startCall(const std::string& numberText, bool video) {
    if (!host_.ownNumber()) return;
    const auto number = VirtualNumber::parse(numberText);
    if (!number) {
        host_.setAlert("That number is not a Merrowfax number.");
        return;
    }
    const std::string to = number->text();
    if (to == host_.ownNumber()) {
        host_.setAlert("That is your number.");
        return;
    }
    // One call at a time; a call still looking for a path counts as one, or
    // a second press would place two.
    if (active_ || incoming_ || pathWait_) return;
    if (host_.isBlocked(to)) {
        host_.setAlert(host_.displayName(to) + " is blocked. Unblock them first.");
        return;
    }
    if (devices_.router.canReach(to)) {
        placeCall(to, video);
        return;
    }
    devices_.router.wake();
    pathWait_ = PathWait{to, video, 0};
    pathTimer_.start(timings().pathCheck);
}

void CallController::checkPath() {
    if (!pathWait_) {
        pathTimer_.stop();
        return;
    }
    const bool reachable = devices_.router.canReach(pathWait_->number);
    if (!reachable && ++pathWait_->checks < kPathChecks) return;
    pathTimer_.stop();
    const PathWait wait = *std::exchange(pathWait_, std::nullopt);
    // Meanwhile a call may have come in, or the account gone.
    if (!host_.ownNumber() || active_ || incoming_) return;
    if (reachable) {
        placeCall(wait.number, wait.video);
        return;
    }
    host_.setAlert("Merrowfax cannot reach the internet right now.");
    host_.recordCall(wait.number, host_.displayName(wait.number), wait.video,
                     CallDirection::outgoing, 0);
}

void CallController::placeCall(const std::string& number, bool video) {
    const Uuid id = Uuid::random();
    giveWay();
    routeMedia(number, std::nullopt);

    ActiveCall call;
    call.id = id;
    call.number = number;
    call.name = host_.displayName(number);
    call.video = video;
    call.outgoing = true;
    call.phase = CallPhase::dialing;
    setActive(call);

    inviteOnLan_ = sendSignal("invite", id, number, video, std::nullopt).lan;
    startNoAnswerTimer(id);
}

void CallController::handleSignal(const wire::events::Call& signal) {
    if (!host_.ownNumber() || !isCanonicalNumber(signal.from)) return;
    // A signal without a name reads as named by its number; that must not
    // replace a name learnt before.
    if (signal.name != signal.from) host_.learnName(signal.from, cleanName(signal.name));

    if (signal.from == host_.ownNumber()) {
        // Another device of this account answered: stop ringing here. No
        // record; the call is that device's.
        if (signal.signal == "answered" && incoming_ && incoming_->id == signal.id) {
            stopCallTimers();
            setIncoming(std::nullopt);
            releaseCallDevices();
        }
        return;
    }
    if (host_.isBlocked(signal.from)) return;

    // Only the other party of a call may change it.
    const bool ourActive = active_ && active_->id == signal.id && active_->number == signal.from;
    const bool ourIncoming =
        incoming_ && incoming_->id == signal.id && incoming_->number == signal.from;

    if (signal.signal == "invite") {
        if (std::find(invitesSeen_.begin(), invitesSeen_.end(), signal.id) != invitesSeen_.end()) {
            return;  // the copy from the other path
        }
        invitesSeen_.push_back(signal.id);
        if (invitesSeen_.size() > kRememberedInvites) invitesSeen_.pop_front();
        if (!host_.isContact(signal.from)) {
            // Never "busy" to a stranger: that would tell it the user is on a call.
            if (!strangerMayRing(signal)) return;
        } else if (incoming_ && !active_ && !host_.isContact(incoming_->number)) {
            yieldStrangerRing();
        } else if (active_ || incoming_) {
            sendSignal("busy", signal.id, signal.from, false, nonEmpty(signal.peerKey));
            return;
        }
        giveWay();
        routeMedia(signal.from, nonEmpty(signal.peerKey));
        IncomingCall call;
        call.id = signal.id;
        call.number = signal.from;
        call.name = host_.displayName(signal.from);
        call.video = signal.video;
        call.peerKey = signal.peerKey;
        setIncoming(call);
        ring();
        startNoAnswerTimer(signal.id);
    } else if (signal.signal == "accept") {
        if (!ourActive || active_->phase != CallPhase::dialing) return;
        noAnswerTimer_.stop();
        noAnswerCall_.reset();
        ActiveCall call = *active_;
        // The answer may have taught us the callee's name.
        call.name = host_.displayName(call.number);
        call.phase = CallPhase::active;
        call.startedAt = now();
        call.peerKey = nonEmpty(signal.peerKey);
        routeMedia(call.number, call.peerKey);
        setActive(call);
        startCallMedia();
    } else if (signal.signal == "decline") {
        if (!ourActive) return;
        host_.setAlert(host_.displayName(signal.from) + " declined.");
        endCall();
    } else if (signal.signal == "busy") {
        if (!ourActive) return;
        host_.setAlert(host_.displayName(signal.from) + " is on another call.");
        endCall();
    } else if (signal.signal == "end") {
        if (ourActive || ourIncoming) endCall();
    }
}

void CallController::onlineChanged(const std::set<std::string>& online) {
    if (!active_) return;
    const bool reachable = online.contains(active_->number);
    peerReachable_ = reachable;
    if (reachable) {
        peerSeen_ = true;
        return;
    }
    // A callee who was there and went will not answer.
    if (active_->phase == CallPhase::dialing && peerSeen_) {
        host_.setAlert("No answer.");
        endCall();
    }
}

void CallController::checkPeer() {
    if (!active_ || active_->phase != CallPhase::active) {
        peerTimer_.stop();
        return;
    }
    if (!peerSeen_ || peerReachable_) return;
    if (MediaIntake::Clock::now() - devices_.intake.lastCallMedia() < timings().callPeerGone) {
        return;
    }
    endCall();
}

bool CallController::hangUpForQuit() {
    // A ringing call is kept as missed and left to ring on; another device
    // of this number may still answer it.
    const bool tellPeer = active_.has_value();
    if (active_ || incoming_) endCall();
    return tellPeer;
}

void CallController::ring() {
    ringTimer_.stop();
    devices_.sounds.play(SystemSound::ring);
    ringTimer_.start(timings().ringRepeat);
}

void CallController::startNoAnswerTimer(const Uuid& id) {
    noAnswerCall_ = id;
    noAnswerTimer_.start(timings().noAnswer);
}

void CallController::stopCallTimers() {
    ringTimer_.stop();
    noAnswerTimer_.stop();
    noAnswerCall_.reset();
}

void CallController::answerCall() {
    if (!host_.ownNumber() || !incoming_) return;
    const IncomingCall in = *incoming_;
    ActiveCall call;
    call.id = in.id;
    call.number = in.number;
    call.name = in.name;
    call.video = in.video;
    call.outgoing = false;
    call.phase = CallPhase::active;
    call.startedAt = now();
    call.peerKey = nonEmpty(in.peerKey);
    // The current call first: in between, a screen would see no call at all.
    setActive(call);
    setIncoming(std::nullopt);
    stopCallTimers();
    routeMedia(in.number, call.peerKey);

    sendSignal("accept", in.id, in.number, in.video, call.peerKey);
    const std::string own = *host_.ownNumber();
    sendSignal("answered", in.id, own, in.video, std::nullopt);
    startCallMedia();
}

void CallController::declineCall() {
    if (!incoming_ || !host_.ownNumber()) return;
    const IncomingCall in = *incoming_;
    sendSignal("decline", in.id, in.number, in.video, nonEmpty(in.peerKey));
    host_.recordCall(in.number, in.name, in.video, CallDirection::missed, 0);
    setIncoming(std::nullopt);
    stopCallTimers();
    releaseCallDevices();
}

void CallController::toggleCallVideo() {
    if (!active_) return;
    CallMedia& media = devices_.media;
    if (media.videoOn()) {
        media.stopVideo();
        ActiveCall call = *active_;
        call.video = false;
        setActive(call);
        return;
    }
    if (!media.hasCamera()) {
        host_.setAlert("Merrowfax needs the camera for video calls. You can allow it in Settings.");
        return;
    }
    media.startVideo();
    ActiveCall call = *active_;
    call.video = true;
    setActive(call);
}

void CallController::noAnswer(const Uuid& id) {
    if (incoming_ && incoming_->id == id) {
        declineCall();
    } else if (active_ && active_->id == id && active_->phase == CallPhase::dialing) {
        host_.setAlert("No answer.");
        endCall();
    }
}

bool CallController::strangerMayRing(const wire::events::Call& invite) {
    const auto now = std::chrono::steady_clock::now();
    const auto window = timings().strangerRing;
    std::erase_if(strangers_,
                  [&](const auto& entry) { return now - entry.second.since >= window; });
    auto it = strangers_.find(invite.from);
    if (it == strangers_.end()) {
        if (strangers_.size() >= kRememberedStrangers) {
            strangers_.erase(std::min_element(
                strangers_.begin(), strangers_.end(),
                [](const auto& a, const auto& b) { return a.second.since < b.second.since; }));
        }
        it = strangers_.emplace(invite.from, StrangerCalls{now, false}).first;
        if (!active_ && !incoming_) return true;
    }
    if (!it->second.missedKept) {
        it->second.missedKept = true;
        host_.recordCall(invite.from, host_.displayName(invite.from), invite.video,
                         CallDirection::missed, 0);
    }
    return false;
}

void CallController::yieldStrangerRing() {
    const IncomingCall in = *incoming_;
    host_.recordCall(in.number, in.name, in.video, CallDirection::missed, 0);
    setIncoming(std::nullopt);
    stopCallTimers();
}

void CallController::callNotDelivered(const std::string& number) {
    if (!active_ || active_->phase != CallPhase::dialing || active_->number != number) return;
    if (inviteOnLan_) return;
    host_.setAlert(host_.displayName(number) + " does not have Merrowfax open.");
    endCall();
}

void CallController::endCall() {
    if (closing_) return;
    closing_ = true;
    stopCallTimers();

    if (active_) {
        const ActiveCall call = *active_;
        host_.recordCall(call.number, call.name, call.video, directionOf(call),
                         duration(call, now()));
        sendSignal("end", call.id, call.number, call.video, call.peerKey);
    }
    if (incoming_) {
        host_.recordCall(incoming_->number, incoming_->name, incoming_->video,
                         CallDirection::missed, 0);
    }

    setIncoming(std::nullopt);
    setActive(std::nullopt);
    releaseCallDevices();
    closing_ = false;
}

void CallController::reset() {
    endCall();
    pathWait_.reset();
    pathTimer_.stop();
}

void CallController::releaseCallDevices() {
    devices_.media.stopVideo();
    devices_.media.stopAudio();
    audioRestartTimer_.stop();
    audioRestartCall_.reset();
    // A desktop has no proximity sensor to turn off.
    takeBack();
    devices_.router.routeMedia(std::nullopt);
}

double CallController::duration(const ActiveCall& call, Date end) {
    if (!call.startedAt) return 0;
    return std::max(0.0, end - *call.startedAt);
}

CallDirection CallController::directionOf(const ActiveCall& call) {
    if (call.outgoing) return CallDirection::outgoing;
    return call.phase == CallPhase::active ? CallDirection::incoming : CallDirection::missed;
}

void CallController::giveWay() {
    devices_.walkie.giveWay();
}

void CallController::takeBack() {
    devices_.walkie.takeBack();
}

Router::Taken CallController::sendSignal(const std::string& word, const Uuid& id,
                                         const std::string& to, bool video,
                                         const std::optional<std::string>& peerKey) {
    wire::Envelope envelope = wire::callEnvelope(word, id, to, video);
    // Every signal names its sender, as the LAN does anyway: the other side
    // remembers the name of whoever calls.
    if (auto name = host_.ownName()) envelope.name = *name;
    return send(envelope, to, peerKey);
}

Router::Taken CallController::send(const wire::Envelope& envelope, const std::string& to,
                                   const std::optional<std::string>& peerKey) {
    return devices_.router.sendToDevice(envelope, to, peerKey);
}

void CallController::routeMedia(const std::string& number,
                                const std::optional<std::string>& peerKey) {
    devices_.router.routeMedia(number, peerKey);
}

void CallController::setIncoming(std::optional<IncomingCall> call) {
    if (incoming_ == call) return;
    incoming_ = std::move(call);
    Q_EMIT incomingChanged();
}

void CallController::setActive(std::optional<ActiveCall> call) {
    if (active_ == call) return;
    const bool sameCall = active_ && call && active_->id == call->id;
    active_ = std::move(call);
    const bool connected = active_ && active_->phase == CallPhase::active;
    devices_.intake.setCallPeer(connected ? std::optional(active_->number) : std::nullopt);
    if (!sameCall) {
        peerSeen_ = peerReachable_ = active_ && host_.online().contains(active_->number);
    }
    if (connected && !peerTimer_.isActive()) {
        peerTimer_.start(timings().callPeerCheck);
    } else if (!connected) {
        peerTimer_.stop();
    }
    Q_EMIT activeChanged();
}

void CallController::startCallMedia() {
    const Uuid id = active_->id;
    // Its own turn of the main loop, as the screens update first; by then the
    // call may be over.
    QMetaObject::invokeMethod(
        this,
        [this, id] {
            if (!isActive(id)) return;
            CallMedia& media = devices_.media;
            if (!media.microphoneAllowed()) {
                host_.setAlert(
                    "Merrowfax needs the microphone for calls. You can allow it in Settings.");
                endCall();
                return;
            }
            startCallAudio(false, true);
            if (!media.audioReady()) {
                host_.setAlert("The call is connected, but the microphone did not start.");
            }
            sendConnectionTone();
            if (!active_->video) return;
            if (media.hasCamera()) {
                media.startVideo();
            } else {
                host_.setAlert("The camera is off, so this call stays on voice.");
            }
        },
        Qt::QueuedConnection);
}

void CallController::startCallAudio(bool systemSession, bool restart) {
    CallMedia& media = devices_.media;
    if (!restart && media.audioReady()) return;
    // With no system call screen holding it, the audio session would be
    // configured here; a desktop has none to configure.
    (void)systemSession;
    // A failure shows as audioReady() staying false; callers check it.
    (void)media.startAudio();
}

void CallController::restartCallAudio() {
    if (!active_ || active_->phase != CallPhase::active) return;
    devices_.media.stopAudio();
    audioRestartCall_ = active_->id;
    audioRestartTimer_.start(timings().audioRestart);
}

void CallController::sendConnectionTone() {
    wire::Bytes tone = wireAudio(makeTone(kConnectionToneSamples));
    devices_.media.receiveAudio(tone);
    devices_.router.sendAudio(tone);
}

}  // namespace merrowfax
