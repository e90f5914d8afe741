#pragma once

#include <functional>
#include <span>

#include "wire/peer_event.h"

namespace merrowfax {

// Call audio and video: plays what the other side sends and hands over what
// this side captures.
class CallMedia {
public:
    struct Callbacks {
        std::function<void(wire::Bytes)> onAudio;  // captured audio, wire format
        std::function<void(wire::Bytes)> onVideo;  // an encoded camera frame
    };

    virtual ~CallMedia() = default;
    virtual void setCallbacks(Callbacks callbacks) = 0;
    virtual void playAudio(std::span<const std::byte> audio) = 0;
    virtual void showVideo(std::span<const std::byte> frame) = 0;
};

// Used until the program has a call media engine: plays and captures nothing.
class NoCallMedia final : public CallMedia {
public:
    void setCallbacks(Callbacks) override {}
    void playAudio(std::span<const std::byte>) override {}
    void showVideo(std::span<const std::byte>) override {}
};

}  // namespace merrowfax
