#pragma once

#include <functional>
#include <span>

#include "model/uuid.h"
#include "wire/peer_event.h"

namespace merrowfax {

// The push-to-talk engine of one walkie channel.
class WalkieTalk {
public:
    virtual ~WalkieTalk() = default;
    virtual void setChannel(const Uuid& channel) = 0;
    // A clip captured while the talk button is held.
    virtual void setOnCaptured(std::function<void(wire::Bytes)> onCaptured) = 0;
    virtual void play(std::span<const std::byte> clip) = 0;
    // A phone call takes the audio: stop talking and hearing, tear the
    // engine down.
    virtual void giveWay() = 0;
    // While yielded (a call runs), pressing talk does nothing.
    virtual void setYielded(bool yielded) = 0;
};

// Used until the program has a walkie engine: captures and plays nothing.
class NoWalkieTalk final : public WalkieTalk {
public:
    void setChannel(const Uuid&) override {}
    void setOnCaptured(std::function<void(wire::Bytes)>) override {}
    void play(std::span<const std::byte>) override {}
    void giveWay() override {}
    void setYielded(bool) override {}
};

}  // namespace merrowfax
