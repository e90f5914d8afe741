#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "platform/sounds.h"

namespace merrowfax {

// The freedesktop theme's sounds through libcanberra and the sound server.
//
// Talking to the server can block, so every libcanberra call runs on a
// thread of this object's own: play() only queues the sound and returns.
// Where no sound server runs nothing is heard and one line is logged; each
// later sound tries the server again, so one that starts later is used.
class CanberraSounds final : public Sounds {
public:
    // Runs on the sound thread when a sound has been played through (error
    // 0) or could not be (a libcanberra error code).
    using OnPlayed = std::function<void(SystemSound, int error)>;

    explicit CanberraSounds(OnPlayed onPlayed = nullptr);
    ~CanberraSounds() override;

    void play(SystemSound sound) override;

    // The theme's name of a sound.
    static const char* eventId(SystemSound sound);

private:
    struct State;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace merrowfax
