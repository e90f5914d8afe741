#pragma once

#include <atomic>
#include <functional>

#include "base/uuid.h"

namespace merrowfax {

// The seam to a system-wide call screen, where a platform has one: what the
// user did there, and whether the system holds the call's audio session. No
// desktop this program runs on has one, so nothing here ever fires; the model
// wires the callbacks all the same, so that an integration only has to call
// them with the model's call ids.
struct SystemCallBridge {
    std::function<void(const Uuid& call)> onEnded;
    std::function<void(const Uuid& call)> onAnswered;
    std::function<void(bool muted)> onMute;
    std::function<void()> onSessionReady;
    std::function<void()> onSessionStopped;
    // True exactly while the system holds the audio session.
    std::atomic<bool> sessionActive = false;
};

}  // namespace merrowfax
