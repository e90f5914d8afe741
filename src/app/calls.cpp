// Calls: placing, ringing, answering, declining and ending them, the call
// list, and when call media starts and stops. Signals travel as "call"
// envelopes over both transports at once; the call id ties them together.

#include <algorithm>

#include "app/app_model.h"
#include "app/text_limits.h"
#include "media/connection_tone.h"
#include "numbers/unicode_text.h"
#include "numbers/virtual_number.h"
#include "platform/timings.h"
#include "wire/envelope_builders.h"

namespace merrowfax {
namespace {

// Checks of the wait for a path before a call gives up.
constexpr int kPathChecks = 20;
// The call list keeps this many, newest first.
constexpr std::size_t kCallListLength = 200;

std::optional<std::string> nonEmpty(const std::string& text) {
    if (text.empty()) return std::nullopt;
    return text;
}

}  // namespace

void AppModel::startCall(const std::string& numberText, bool video) {
    if (!data_.account) return;
    const auto number = VirtualNumber::parse(numberText);
    if (!number) {
        setAlert("That number is not a Merrowfax number.");
        return;
    }
    const std::string to = number->text();
    if (to == ownNumber()) {
        setAlert("That is your number.");
        return;
    }
    // One call at a time; a call still looking for a path counts as one, or
    // a second press would place two.
    if (active_ || incoming_ || pathWait_) return;
    if (isBlocked(to)) {
        setAlert(displayName(to) + " is blocked. Unblock them first.");
        return;
    }
    if (lanOnline_.contains(to) || components_.line->isOpen()) {
        placeCall(to, video);
        return;
    }
    components_.line->connect();
    pathWait_ = PathWait{to, video, 0};
    pathTimer_.start(timings().pathCheck);
}

void AppModel::checkPath() {
    if (!pathWait_) {
        pathTimer_.stop();
        return;
    }
    const bool reachable = components_.line->isOpen() || lanOnline_.contains(pathWait_->number);
    if (!reachable && ++pathWait_->checks < kPathChecks) return;
    pathTimer_.stop();
    const PathWait wait = *std::exchange(pathWait_, std::nullopt);
    // Meanwhile a call may have come in, or the account gone.
    if (!data_.account || active_ || incoming_) return;
    if (reachable) {
        placeCall(wait.number, wait.video);
        return;
    }
    setAlert("Merrowfax cannot reach the internet right now.");
    recordCall(wait.number, displayName(wait.number), wait.video, "outgoing", 0);
}

void AppModel::placeCall(const std::string& number, bool video) {
    const Uuid id = Uuid::random();
    components_.walkie->setYielded(true);
    components_.walkie->giveWay();
    routeCallMedia(number, std::nullopt);

    ActiveCall call;
    call.id = id;
    call.number = number;
    call.name = displayName(number);
    call.video = video;
    call.outgoing = true;
    call.phase = "dialing";
    setActive(call);

    sendCallSignal(wire::callEnvelope("invite", id, number, video), number, std::nullopt);
    startNoAnswerTimer(id, false);
}

void AppModel::handleCallSignal(const wire::events::Call& signal) {
    if (!data_.account || !isCanonicalNumber(signal.from)) return;
    // A signal without a name reads as named by its number; that must not
    // replace a name learnt before.
    if (signal.name != signal.from) {
        const std::string name = cleanName(signal.name);
        if (auto& known = data_.directory[signal.from]; known != name) {
            known = name;
            Q_EMIT directoryChanged();
        }
    }

    if (signal.from == ownNumber()) {
        // Another device of this account answered: stop ringing here. No
        // record; the call is that device's.
        if (signal.signal == "answered" && incoming_ && incoming_->id == signal.id) {
            stopCallTimers();
            setIncoming(std::nullopt);
            releaseCallDevices();
        }
        return;
    }
    if (isBlocked(signal.from)) return;

    // Only the other party of a call may change it.
    const bool ourActive = active_ && active_->id == signal.id && active_->number == signal.from;
    const bool ourIncoming =
        incoming_ && incoming_->id == signal.id && incoming_->number == signal.from;

    if (signal.signal == "invite") {
        if (incoming_ && incoming_->id == signal.id) return;  // the copy from the other path
        if (active_ || incoming_) {
            sendCallSignal(wire::callEnvelope("busy", signal.id, signal.from, false), signal.from,
                           nonEmpty(signal.peerKey));
            return;
        }
        components_.walkie->setYielded(true);
        components_.walkie->giveWay();
        routeCallMedia(signal.from, nonEmpty(signal.peerKey));
        IncomingCall call;
        call.id = signal.id;
        call.number = signal.from;
        call.name = displayName(signal.from);
        call.video = signal.video;
        call.peerKey = signal.peerKey;
        setIncoming(call);
        ring();
        startNoAnswerTimer(signal.id, true);
    } else if (signal.signal == "accept") {
        if (!ourActive || active_->phase != "dialing") return;
        noAnswerTimer_.stop();
        noAnswerCall_.reset();
        ActiveCall call = *active_;
        // The answer may have taught us the callee's name.
        call.name = displayName(call.number);
        call.phase = "active";
        call.startedAt = now();
        call.peerKey = nonEmpty(signal.peerKey);
        routeCallMedia(call.number, call.peerKey);
        setActive(call);
        startCallMedia();
    } else if (signal.signal == "decline") {
        if (!ourActive) return;
        setAlert(displayName(signal.from) + " declined.");
        endCall();
    } else if (signal.signal == "busy") {
        if (!ourActive) return;
        setAlert(displayName(signal.from) + " is on another call.");
        endCall();
    } else if (signal.signal == "end") {
        if (ourActive || ourIncoming) endCall();
    }
}

void AppModel::ring() {
    ringTimer_.stop();
    components_.sounds->play(SystemSound::ring);
    ringTimer_.start(timings().ringRepeat);
}

void AppModel::startNoAnswerTimer(const Uuid& id, bool incoming) {
    noAnswerCall_ = {id, incoming};
    noAnswerTimer_.start(timings().noAnswer);
}

void AppModel::stopCallTimers() {
    ringTimer_.stop();
    noAnswerTimer_.stop();
    noAnswerCall_.reset();
}

void AppModel::answerCall() {
    if (!data_.account || !incoming_) return;
    const IncomingCall in = *incoming_;
    ActiveCall call;
    call.id = in.id;
    call.number = in.number;
    call.name = in.name;
    call.video = in.video;
    call.outgoing = false;
    call.phase = "active";
    call.startedAt = now();
    call.peerKey = nonEmpty(in.peerKey);
    setIncoming(std::nullopt);
    setActive(call);
    stopCallTimers();
    routeCallMedia(in.number, call.peerKey);

    sendCallSignal(wire::callEnvelope("accept", in.id, in.number, in.video), in.number,
                   call.peerKey);
    const std::string own = data_.account->number.text();
    sendCallSignal(wire::callEnvelope("answered", in.id, own, in.video), own, std::nullopt);
    startCallMedia();
}

void AppModel::declineCall() {
    if (!incoming_ || !data_.account) return;
    const IncomingCall in = *incoming_;
    sendCallSignal(wire::callEnvelope("decline", in.id, in.number, in.video), in.number,
                   nonEmpty(in.peerKey));
    recordCall(in.number, in.name, in.video, "missed", 0);
    setIncoming(std::nullopt);
    stopCallTimers();
    releaseCallDevices();
}

void AppModel::toggleCallVideo() {
    if (!active_) return;
    CallMedia& media = *components_.media;
    if (media.videoOn()) {
        media.stopVideo();
        ActiveCall call = *active_;
        call.video = false;
        setActive(call);
        return;
    }
    if (!media.hasCamera()) {
        setAlert("Merrowfax needs the camera for video calls. You can allow it in Settings.");
        return;
    }
    media.startVideo();
    ActiveCall call = *active_;
    call.video = true;
    setActive(call);
}

void AppModel::noAnswer(const Uuid& id, bool incoming) {
    (void)incoming;  // the id alone tells which call it was
    if (incoming_ && incoming_->id == id) {
        declineCall();
    } else if (active_ && active_->id == id && active_->phase == "dialing") {
        setAlert("No answer.");
        endCall();
    }
}

void AppModel::callNotDelivered(const std::string& number) {
    if (!active_ || active_->phase != "dialing" || active_->number != number) return;
    setAlert(displayName(number) + " does not have Merrowfax open.");
    endCall();
}

void AppModel::endCall() {
    if (closing_) return;
    closing_ = true;
    stopCallTimers();

    if (active_) {
        const ActiveCall call = *active_;
        const std::string direction = call.outgoing            ? "outgoing"
                                      : call.phase == "active" ? "incoming"
                                                               : "missed";
        recordCall(call.number, call.name, call.video, direction, callDuration(call, now()));
        sendCallSignal(wire::callEnvelope("end", call.id, call.number, call.video), call.number,
                       call.peerKey);
    }
    if (incoming_) recordCall(incoming_->number, incoming_->name, incoming_->video, "missed", 0);

    setIncoming(std::nullopt);
    setActive(std::nullopt);
    releaseCallDevices();
    closing_ = false;
}

void AppModel::releaseCallDevices() {
    components_.media->stopVideo();
    components_.media->stopAudio();
    // A desktop has no proximity sensor to turn off.
    components_.walkie->setYielded(false);
    router_.routeMedia(std::nullopt);
}

double AppModel::callDuration(const ActiveCall& call, Date end) {
    if (!call.startedAt) return 0;
    return std::max(0.0, end - *call.startedAt);
}

void AppModel::recordCall(const std::string& number, const std::string& name, bool video,
                          const std::string& direction, double duration) {
    CallRecord record;
    record.id = Uuid::random();
    record.number = number;
    record.name = name;
    record.video = video;
    record.direction = direction;
    record.at = now();
    record.duration = duration;
    data_.calls.insert(data_.calls.begin(), std::move(record));
    if (data_.calls.size() > kCallListLength) data_.calls.resize(kCallListLength);
    Q_EMIT callsChanged();
    save();
}

void AppModel::sendCallSignal(wire::Envelope envelope, const std::string& number,
                              const std::optional<std::string>& peerKey) {
    // Every signal names its sender, as the LAN does anyway: the other side
    // remembers the name of whoever calls.
    if (!envelope.name && data_.account) envelope.name = data_.account->displayName;
    router_.sendToDevice(envelope, number, peerKey);
}

void AppModel::routeCallMedia(const std::string& number,
                              const std::optional<std::string>& peerKey) {
    router_.routeMedia(number, peerKey);
}

void AppModel::setIncoming(std::optional<IncomingCall> call) {
    if (incoming_ == call) return;
    incoming_ = std::move(call);
    Q_EMIT incomingChanged();
}

void AppModel::setActive(std::optional<ActiveCall> call) {
    if (active_ == call) return;
    active_ = std::move(call);
    Q_EMIT activeChanged();
}

void AppModel::startCallMedia() {
    const Uuid id = active_->id;
    // Its own turn of the main loop, as the screens update first; by then the
    // call may be over.
    QMetaObject::invokeMethod(
        this,
        [this, id] {
            if (!active_ || active_->id != id || active_->phase != "active") return;
            CallMedia& media = *components_.media;
            if (!media.microphoneAllowed()) {
                setAlert("Merrowfax needs the microphone for calls. You can allow it in Settings.");
                endCall();
                return;
            }
            startCallAudio(false, true);
            if (!media.audioReady()) {
                setAlert("The call is connected, but the microphone did not start.");
            }
            sendConnectionTone();
            if (!active_->video) return;
            if (media.hasCamera()) {
                media.startVideo();
            } else {
                setAlert("The camera is off, so this call stays on voice.");
            }
        },
        Qt::QueuedConnection);
}

void AppModel::startCallAudio(bool systemSession, bool restart) {
    CallMedia& media = *components_.media;
    if (!restart && media.audioReady()) return;
    // With no system call screen holding it, the audio session would be
    // configured here; a desktop has none to configure.
    (void)systemSession;
    // A failure shows as audioReady() staying false; callers check it.
    (void)media.startAudio();
}

void AppModel::restartCallAudio() {
    if (!active_ || active_->phase != "active") return;
    components_.media->stopAudio();
    const Uuid id = active_->id;
    QTimer::singleShot(timings().audioRestart, this, [this, id] {
        if (!active_ || active_->id != id || active_->phase != "active") return;
        if (components_.media->audioReady()) return;
        startCallAudio(bridge_.sessionActive, true);
    });
}

void AppModel::sendConnectionTone() {
    wire::Bytes tone = wireAudio(makeTone(kConnectionToneSamples));
    components_.media->receiveAudio(tone);
    router_.sendAudio(tone);
}

}  // namespace merrowfax
