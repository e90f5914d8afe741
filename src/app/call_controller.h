#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "app/controller_host.h"
#include "app/media_intake.h"
#include "app/router.h"
#include "app/walkie_controller.h"
#include "media/call_media.h"
#include "media/system_call_bridge.h"
#include "model/records.h"
#include "platform/sounds.h"
#include "wire/envelope.h"
#include "wire/peer_event.h"

namespace merrowfax {

class MainThreadHop;

// What the call flow drives. All of it outlives the controller.
struct CallDevices {
    Router& router;  // everything that goes out, and whether it can
    CallMedia& media;
    WalkieController& walkie;
    Sounds& sounds;
    MediaIntake& intake;  // takes the connected call's media from its peer only
};

// The call state machine: placing, ringing, answering, declining, ending,
// timing out and "busy", and when call media starts and stops. Signals
// travel as "call" envelopes over both paths; the call id ties them together.
//
// A caller who is not a contact cannot hold the user: it rings at most once
// per timings().strangerRing (later invitations go unanswered and are kept
// as one missed call), never hears "busy", and its ringing gives way to a
// contact's call.
//
// The model owns it and publishes it as `calls`; screens and the command-line
// client call it directly. For the rest (account, names, blocking, alerts,
// the stored call list) it asks its host.
//
// Its neighbours in the model, each a controller of its own: the walkie
// controller (the push-to-talk flow, which steps back through giveWay()/
// takeBack() below), a desk session (screen sharing; it gives way through the same
// hooks) and the device-linking flow. Everything the calls send to peers
// leaves through the router.
class CallController : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::optional<merrowfax::IncomingCall> incoming READ incoming NOTIFY incomingChanged)
    Q_PROPERTY(std::optional<merrowfax::ActiveCall> active READ active NOTIFY activeChanged)

public:
    CallController(ControllerHost& host, CallDevices devices, std::weak_ptr<MainThreadHop> hop);
    ~CallController() override;

    const std::optional<IncomingCall>& incoming() const { return incoming_; }
    const std::optional<ActiveCall>& active() const { return active_; }
    // Where a system call screen reports back; nothing calls it on a desktop.
    SystemCallBridge& bridge() { return bridge_; }
    // The engine the call screen shows and controls.
    CallMedia& media() { return devices_.media; }
    const CallMedia& media() const { return devices_.media; }

    void startCall(const std::string& number, bool video);
    void answerCall();
    void declineCall();
    // The call screen's camera button: turns the own camera off, or on when
    // the device has one, and the call becomes voice or video with it.
    void toggleCallVideo();
    // Hangs up the current call, or gives up a ringing one; also the common
    // clean-up of every other way a call ends.
    void endCall();
    void handleSignal(const wire::events::Call& signal);
    // The numbers reachable now changed: a call whose peer went may end.
    void onlineChanged(const std::set<std::string>& online);
    // The program is closing: a call under way is hung up as the user would,
    // a ringing one kept as missed. True when an "end" went out that needs a
    // moment to reach the peer.
    bool hangUpForQuit();
    // The no-answer timer ran out for the call `id`.
    void noAnswer(const Uuid& id);
    // The relay service found nobody under `number`.
    void callNotDelivered(const std::string& number);
    // The account goes: ends the call, forgets one waiting for a path.
    void reset();

    // Connected seconds at `end`: 0 when it never connected, never below 0
    // (the clock may have been set back).
    static double duration(const ActiveCall& call, Date end);
    // How a finished call goes into the list.
    static CallDirection directionOf(const ActiveCall& call);

Q_SIGNALS:
    void incomingChanged();
    void activeChanged();

private:
    struct PathWait {
        std::string number;
        bool video = false;
        int checks = 0;
    };

    void wireDevices(std::weak_ptr<MainThreadHop> hop);
    void checkPath();
    void placeCall(const std::string& number, bool video);
    void ring();
    void startNoAnswerTimer(const Uuid& id);
    // A connected call ends once its peer is gone from every path and has
    // sent nothing for a while.
    void checkPeer();
    void stopCallTimers();
    void releaseCallDevices();
    void setIncoming(std::optional<IncomingCall> call);
    void setActive(std::optional<ActiveCall> call);
    void startCallMedia();
    void startCallAudio(bool systemSession, bool restart);
    void restartCallAudio();
    void sendConnectionTone();
    bool isActive(const Uuid& id) const;

    // What else holds the microphone or the user's attention steps back while
    // a call rings or runs, and may come back once none does. Today that is
    // the walkie engine alone.
    void giveWay();
    void takeBack();

    // An invitation from a caller who is not a contact: true when it may
    // ring now. One that may not is kept as a missed call, once a window.
    bool strangerMayRing(const wire::events::Call& invite);
    // The ringing stranger gives way to a contact's call: no word to it, a
    // missed call kept.
    void yieldStrangerRing();

    // A signal word for the call `id` to `to`, named with our display name.
    Router::Taken sendSignal(const std::string& word, const Uuid& id, const std::string& to,
                             bool video, const std::optional<std::string>& peerKey);
    // The one way out for call envelopes, through the router: to the LAN
    // peer `peerKey` while it is connected (the device the call came from),
    // else every LAN peer of `to`, and through the internet line.
    Router::Taken send(const wire::Envelope& envelope, const std::string& to,
                       const std::optional<std::string>& peerKey);
    // Both paths carry this call's media to and from `number`.
    void routeMedia(const std::string& number, const std::optional<std::string>& peerKey);

    ControllerHost& host_;
    CallDevices devices_;
    SystemCallBridge bridge_;

    std::optional<IncomingCall> incoming_;
    std::optional<ActiveCall> active_;
    // Invitations lately taken, by call: each comes on both paths, and the
    // slower copy may come after the call was answered or even ended.
    static constexpr std::size_t kRememberedInvites = 32;
    std::deque<Uuid> invitesSeen_;
    bool closing_ = false;  // endCall() is running
    // The dialing call's invitation reached a LAN device, which rings: the
    // relay service finding nobody does not end it.
    bool inviteOnLan_ = false;

    // Callers who are not contacts, by number, from their first invitation
    // of the current window; bounded.
    struct StrangerCalls {
        std::chrono::steady_clock::time_point since;
        bool missedKept = false;  // the window's unanswered invitations are in the list
    };
    static constexpr std::size_t kRememberedStrangers = 512;
    std::map<std::string, StrangerCalls> strangers_;

    QTimer ringTimer_;                  // repeats the ring sound
    QTimer noAnswerTimer_;              // gives up a call nobody answers
    std::optional<Uuid> noAnswerCall_;  // the call it gives up
    QTimer pathTimer_;                  // waits for a path before dialing
    std::optional<PathWait> pathWait_;
    QTimer peerTimer_;  // looks for the peer of a connected call
    // The call's peer was seen reachable since the call began: only a peer
    // seen to go counts as gone, never one the paths do not report at all.
    bool peerSeen_ = false;
    bool peerReachable_ = false;
    QTimer audioRestartTimer_;              // call audio comes back after a pause
    std::optional<Uuid> audioRestartCall_;  // the call whose audio it restarts
};

}  // namespace merrowfax
