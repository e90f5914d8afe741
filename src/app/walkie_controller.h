#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "app/controller_host.h"
#include "app/media_intake.h"
#include "app/router.h"
#include "media/walkie_talk.h"
#include "wire/peer_event.h"

namespace merrowfax {

class MainThreadHop;

// What the walkie flow drives. All of it outlives the controller.
struct WalkieDevices {
    Router& router;  // talk signals and captured audio go out here, and whether they can
    WalkieTalk& walkie;
    MediaIntake& intake;  // told whose talk is heard, for its clips' path
};

// The push-to-talk flow: who may talk to whom, the talk signals, the audio
// of the press under way and of the talk being heard, and keeping each
// exchange as a "Walkie" audio message in the chat. The engine captures and
// plays; this decides. Network input is trusted for nothing: frames count
// only from the number whose talk is heard, and every buffer is bounded.
// A number that is not a contact is heard only with "Walkie from contacts
// only" off, by its number, when nothing else is heard or said, and at most
// once per timings().strangerTalk; it never becomes the partner.
//
// The model owns it and publishes it as `walkie`, with the walkie's two
// stored switches.
class WalkieController : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::optional<std::string> incomingTalk READ incomingTalk NOTIFY incomingTalkChanged)
    Q_PROPERTY(bool holdingTalk READ holdingTalk NOTIFY holdingTalkChanged)
    Q_PROPERTY(std::optional<std::string> talkTarget READ talkTarget NOTIFY talkTargetChanged)
    Q_PROPERTY(std::optional<std::string> partner READ partner NOTIFY partnerChanged)
    Q_PROPERTY(bool lockScreenTalk READ lockScreenTalk NOTIFY lockScreenTalkChanged)
    Q_PROPERTY(bool contactsOnly READ contactsOnly NOTIFY contactsOnlyChanged)

public:
    // The switches start as stored; captured audio goes out through the
    // router and is kept, on the main thread through `hop`, for its message.
    WalkieController(ControllerHost& host, WalkieDevices devices, std::weak_ptr<MainThreadHop> hop,
                     bool lockScreenTalk, bool contactsOnly);
    ~WalkieController() override;

    bool holdingTalk() const { return holding_; }
    const std::optional<std::string>& talkTarget() const { return target_; }
    // Whose talk is being heard.
    const std::optional<std::string>& incomingTalk() const { return incomingFrom_; }
    // The number last talked to or heard from: the calls tab's bar talks to
    // it, since the target itself is cleared when a press ends.
    const std::optional<std::string>& partner() const { return partner_; }
    // Talk from the lock screen; "Walkie from contacts only" (strangers'
    // talk is ignored entirely).
    bool lockScreenTalk() const { return lockScreenTalk_; }
    bool contactsOnly() const { return contactsOnly_; }
    void setLockScreenTalk(bool on);
    void setContactsOnly(bool on);
    // The engine, as the screens show it.
    WalkieTalk& engine() { return devices_.walkie; }
    const WalkieTalk& engine() const { return devices_.walkie; }

    void holdTalk(const std::string& number);
    void endTalk(const std::string& number);
    // A captured chunk, already sent; kept for the message of this press.
    void appendOutgoing(std::span<const std::byte> chunk);
    void receiveTalk(const wire::events::Talk& talk);
    void receiveWalkie(const wire::events::Walkie& frame);
    // A clip of the talk being heard that the engine already played as it
    // came: kept for the talk's message.
    void keepHeard(const wire::events::Walkie& frame);
    // The engine replays a stored clip.
    void playClip(std::span<const std::byte> clip, const std::string& name);

    // A phone call takes the audio: the press under way ends, no press
    // starts and the engine stands down until takeBack().
    void giveWay();
    void takeBack();

Q_SIGNALS:
    void holdingTalkChanged();
    void talkTargetChanged();
    void incomingTalkChanged();
    void partnerChanged();
    void lockScreenTalkChanged();
    void contactsOnlyChanged();

private:
    void setHolding(bool holding);
    void setTarget(std::optional<std::string> target);
    void setIncomingFrom(std::optional<std::string> number);
    void setPartner(const std::string& number);
    // Whether a stranger's talk start is heard now; counted when so.
    bool mayHearStranger();
    void sendTalk(bool start, const std::string& to);
    // The talk being heard is over: kept as a message, buffers emptied.
    void finishIncoming();
    void dropPending();
    // Appends what still fits under the clip cap; the part appended.
    static std::span<const std::byte> appendCapped(wire::Bytes& buffer,
                                                   std::span<const std::byte> chunk,
                                                   std::size_t cap);

    ControllerHost& host_;
    WalkieDevices devices_;
    bool lockScreenTalk_;
    bool contactsOnly_;
    bool yielded_ = false;  // a call holds the audio

    bool holding_ = false;
    std::optional<std::string> target_;
    std::optional<std::string> partner_;
    wire::Bytes outgoing_;  // this press

    std::optional<std::string> incomingFrom_;
    std::string hearingName_;
    wire::Bytes incoming_;  // the talk being heard
    // Frames that overtook their talk start (the two paths race), from one
    // number; a little, for a short while.
    std::optional<std::string> pendingFrom_;
    wire::Bytes pending_;
    // Whose talk just ended: its late frames are not the start of another.
    std::optional<std::string> endedFrom_;
    QTimer stall_;  // ends a talk whose talker went quiet; forgets stale frames
    // When a stranger's talk was last heard.
    std::optional<std::chrono::steady_clock::time_point> lastStrangerTalk_;
};

}  // namespace merrowfax
