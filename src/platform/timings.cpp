#include "platform/timings.h"

#include <cstdlib>
#include <mutex>

namespace merrowfax {
namespace {

Timings scaled(Timings t, double factor) {
    auto scale = [factor](Timings::ms& d) {
        d = Timings::ms(std::max<long long>(1, static_cast<long long>(d.count() * factor)));
    };
    // Not `serviceAnswer`: how long the relay may take to answer is the
    // relay's pace, not ours, and a loaded test machine is slower, not faster.
    // Nor `mediaPathHold` and `quitDrain`: they follow how fast the network
    // carries a chunk or a record, which no test makes faster.
    for (Timings::ms* d :
         {&t.expirySweep,     &t.reconnect,        &t.keepAlive,      &t.computerLookup,
          &t.noAnswer,        &t.ringRepeat,       &t.pathCheck,      &t.linkSearch,
          &t.audioRestart,    &t.callPeerGone,     &t.callPeerCheck,  &t.directoryRequest,
          &t.directorySearch, &t.bookUpload,       &t.strangerWindow, &t.journalFold,
          &t.waitingRetry,    &t.saveRetry,        &t.walkieTapDelay, &t.walkieSilence,
          &t.walkieTrailing,  &t.walkieSilenceMin, &t.voiceLimit,     &t.walkieStall,
          &t.lanInviteGuard,  &t.lanRetire,        &t.strangerRing,   &t.strangerTalk,
          &t.linkCodeLife}) {
        scale(*d);
    }
    return t;
}

Timings& current() {
    static Timings instance = [] {
        Timings t;
        if (const char* factor = std::getenv("MERROWFAX_TIME_SCALE")) {
            char* end = nullptr;
            const double value = std::strtod(factor, &end);
            if (end != factor && value > 0 && value <= 1) t = scaled(t, value);
        }
        return t;
    }();
    return instance;
}

}  // namespace

const Timings& timings() {
    return current();
}

void setTimings(const Timings& t) {
    current() = t;
}

}  // namespace merrowfax
