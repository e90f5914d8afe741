#pragma once

#include <chrono>
#include <cstddef>

namespace merrowfax {

// Every duration the program waits for, and the limits that go with them, in
// one place. Tests shorten them with setTimings(); MERROWFAX_TIME_SCALE (a
// factor such as 0.01) scales the durations for end-to-end runs of the real
// programs.
struct Timings {
    using ms = std::chrono::milliseconds;

    ms expirySweep{30'000};    // voice-message expiry sweep
    ms reconnect{2'000};       // internet line: retry after a failure
    ms keepAlive{15'000};      // internet line: ping interval
    ms computerLookup{6'000};  // start-up account lookup timeout
    ms noAnswer{30'000};       // an outgoing call nobody answers
    ms ringRepeat{2'200};      // ring sound while a call rings
    ms pathCheck{200};         // waiting for a path before dialing
    ms linkSearch{20'000};     // device linking gives up
    ms linkCodeLife{600'000};  // a link code on show is withdrawn after this
    ms audioRestart{250};      // pause before call audio restarts
    ms callPeerGone{10'000};   // a connected call whose peer is offline and silent this long ends
    ms callPeerCheck{1'000};   // how often a connected call looks for its peer
    ms quitDrain{300};         // a call hung up on quitting: time for its "end" to go out
    ms mediaPathHold{300};     // received media keeps to the path of its latest chunk this long
    ms soundServer{2'000};     // a request to the sound server gives up
    ms directoryRequest{60'000};   // a directory page request gives up
    ms directorySearch{300};       // directory search: typing pause before it asks
    ms serviceAnswer{10'000};      // command-line client: waits for the service
    ms journalFold{3'000};         // the store folds its journal into db.json
    ms bookUpload{500};            // contact changes gather this long before one upload
    ms saveRetry{5'000};           // a failed save is tried again after this
    ms waitingRetry{30'000};       // the oldest undelivered text of a chat is offered again
    ms strangerWindow{3'600'000};  // strangers' texts add contacts at most...
    int strangerContacts = 200;    // ...this many times per window
    ms strangerRing{300'000};      // a caller who is not a contact rings at most once per this
    ms strangerTalk{60'000};       // strangers' walkie talks: at most one heard per this
    ms voiceLimit{60'000};         // a voice message records at most this long
    ms walkieTapDelay{180};        // walkie: from the press to the microphone opening
    ms walkieSilence{1'200};       // walkie: a heard talk is over after this long without audio
    ms walkieTrailing{800};        // walkie: the closing static, then the resting text
    ms walkieSilenceMin{400};      // walkie: no silence timer is shorter
    ms walkieStall{5'000};         // a remote talk silent this long ends as if let go
    // Walkie audio one press sends, or one received talk keeps: 60 s of
    // wire audio. A press that reaches it ends by itself.
    std::size_t walkieClipBytes = 1'920'000;
    ms videoFrame{120};  // at most one camera frame sent per interval (not scaled)
    // The LAN link. Only the two that pace reconnection are scaled: the others
    // bound what a stranger on the network may hold, and a loaded test machine
    // is slower, not faster.
    ms lanInviteGuard{20'000};  // a found device is invited again after this long
    ms lanRetire{1'000};        // the spare of two sessions to one device is closed after this
    ms lanInvite{15'000};       // an invitation gives up
    ms lanHandshake{10'000};    // an accepted connection names itself within this
    ms lanPing{5'000};          // a quiet session sends a ping this often
    ms lanIdle{15'000};         // a session that hears nothing this long is closed
    ms lanStall{10'000};        // a frame or transfer that stops arriving this long is dropped
    ms lanUdpProbe{250};        // datagram probes until the peer says it hears them
    ms lanProof{30'000};        // a session without a proven number is closed after this
    ms lanRateWindow{10'000};   // a resource's arrival rate is judged over this
    ms lanFileRetry{1'000};     // a failed file transfer is tried again after this, then doubling
};

const Timings& timings();

// Tests only; call before the components that read them are made.
void setTimings(const Timings& timings);

}  // namespace merrowfax
